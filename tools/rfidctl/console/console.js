'use strict';

// The access token came in the page's URL and the console answered the page
// with a session cookie that every API call carries; the token leaves the
// address bar (and so the history) at once.
if (new URLSearchParams(location.search).has('token')) history.replaceState(null, '', location.pathname);

// Preset bit strings of the device-control buttons (as `rfidctl control`).
const DEVICE_BUTTONS = [
  ['Relay', '001000', 'relay 1'],
  ['Buzzer', '000001', 'buzzer 1'],
  ['Lights', '000000001001', 'light 1 and light 2 at 1'],
];
const NET_WAIT_MS = 90000;
const NET_RETRY_MS = 3000;
// Readers go to the console this many at a time, so that each batch shows
// its results early and no request grows with the number of readers.
const BATCH = 256;
// How many readers answered the last search, kept in this browser.
const LAST_COUNT_KEY = 'rfidctl-console-readers';

const rows = new Map(); // reader address -> { tr, cells, select }

function $(selector) { return document.querySelector(selector); }

function request(path, body) {
  if (body === undefined) return fetch(path);
  return fetch(path, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) });
}

async function failure(response) {
  try { return await response.json(); } catch (e) { return { error: 'HTTP ' + response.status }; }
}

// One JSON answer: { ok, data }.
async function api(path, body) {
  try {
    const response = await request(path, body);
    if (!response.ok) return { ok: false, data: await failure(response) };
    return { ok: true, data: await response.json() };
  } catch (e) {
    return { ok: false, data: { error: 'the console does not answer: ' + e.message } };
  }
}

// A call that answers one JSON line per reader, each as soon as it is there.
// Returns null when every line came, else the refusal ({ error, fields }).
async function perReader(path, body, onLine) {
  let response;
  try {
    response = await request(path, body);
  } catch (e) {
    return { error: 'the console does not answer: ' + e.message };
  }
  if (!response.ok) return failure(response);
  const reader = response.body.getReader();
  const decoder = new TextDecoder();
  let pending = '';
  for (;;) {
    const { value, done } = await reader.read();
    pending += decoder.decode(value || new Uint8Array(), { stream: !done });
    let end;
    while ((end = pending.indexOf('\n')) >= 0) {
      const line = pending.slice(0, end);
      pending = pending.slice(end + 1);
      if (line) onLine(JSON.parse(line));
    }
    if (done) return null;
  }
}

// perReader for any number of readers, batch by batch; `body` gets each
// batch as "readers". A row left without its line says why, `missed`
// followed by the reason. Returns null, or the first refusal (the rows of its
// batch and of those after it heard nothing).
async function perBatch(path, body, readers, onLine, missed) {
  for (let at = 0; at < readers.length; at += BATCH) {
    const batch = readers.slice(at, at + BATCH);
    const done = new Set();
    const refused = await perReader(path, { ...body, readers: batch }, (line) => {
      done.add(line.reader);
      onLine(line);
    }).catch((e) => ({ error: 'the answer broke off: ' + e.message }));
    const why = !refused ? 'no result came' : refused.fields ? 'a value was refused' : refused.error;
    for (const address of refused ? readers.slice(at) : batch) {
      if (!done.has(address)) setResult(address, missed + ': ' + why, 'error');
    }
    if (refused) return refused;
  }
  return null;
}

function showPageError(text) {
  const p = $('#page-error');
  p.textContent = text || '';
  p.hidden = !text;
}

function setResult(address, text, kind) {
  const row = rows.get(address);
  if (!row) return;
  row.cells.result.textContent = text;
  row.cells.result.className = 'result ' + kind;
}

function selected() {
  return [...rows.entries()].filter(([, row]) => row.select.checked).map(([address]) => address);
}

// The header's box is ticked when every row is.
function showSelection() {
  $('#select-all').checked = rows.size > 0 && selected().length === rows.size;
}

// A row for `address`, appended to `into` (the table's body, or a fragment
// that goes there in one piece). Rows start unselected: a reader acts only
// once the user chose it.
function addRow(address, into) {
  if (rows.has(address)) return rows.get(address);
  const tr = document.createElement('tr');
  tr.dataset.reader = address;
  const cells = {};
  const select = document.createElement('input');
  select.type = 'checkbox';
  select.addEventListener('change', showSelection);
  const first = document.createElement('td');
  first.append(select);
  tr.append(first);
  for (const name of ['address', 'id', 'server', 'telegram', 'net', 'device', 'result']) {
    cells[name] = document.createElement('td');
    cells[name].className = name;
    tr.append(cells[name]);
  }
  cells.address.textContent = address;
  for (const [label, bits, meaning] of DEVICE_BUTTONS) {
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'small';
    button.textContent = label;
    button.title = bits + ': ' + meaning;
    button.addEventListener('click', () => control([address], bits));
    cells.device.append(button);
  }
  (into || $('#readers tbody')).append(tr);
  const option = document.createElement('option');
  option.value = option.textContent = address;
  $('#net select[name=reader]').append(option);
  $('#no-readers').hidden = true;
  const row = { tr, cells, select, option };
  rows.set(address, row);
  return row;
}

function fillRow(line) {
  const row = addRow(line.reader);
  const s = line.settings || {};
  if (s.id) row.cells.id.textContent = s.id.devId;
  if (s.server) {
    row.cells.server.textContent = s.server.address + ':' + s.server.port + ' (type ' + s.server.type + ')';
  }
  if (s.telegram) {
    const t = s.telegram;
    row.cells.telegram.textContent = 'style ' + t.readStyle + ', key ' + (t.keyType ? 'B ' : 'A ') + t.key +
      ', block ' + t.block + ', chars ' + t.firstChar + '-' + t.lastChar;
  }
  if (s.net) {
    const n = s.net;
    row.cells.net.textContent = n.IP + ' / ' + n.Mask + ', gw ' + n.Gateway + ', dns ' + n.DNS + ', ' + n.MAC;
  }
  setResult(line.reader, line.ok ? 'read' : line.error, line.ok ? 'ok' : 'error');
}

async function readRows(readers) {
  for (const address of readers) setResult(address, 'reading…', 'busy');
  await perBatch('/api/read', {}, readers, fillRow, 'not read');
}

function plural(count, one, many) { return count.toLocaleString('en') + ' ' + (count === 1 ? one : many); }

// What the search found, and a warning when more readers answered than
// expected: any device on the network can answer, from any address.
function showDiscovery(answer, fresh, expected) {
  const count = answer.readers.length;
  let text = plural(count, 'reader', 'readers') + ' answered';
  if (count) text += ' (the last after ' + answer.lastAnswerMs + ' ms)';
  if (fresh) text += '; ' + plural(fresh, 'new one is', 'new ones are') + ' marked and not selected';
  $('#discover-status').textContent = text + '.';
  const warnings = [];
  if (expected !== null && count > expected) {
    warnings.push('More readers answered than expected (' + count.toLocaleString('en') + ', expected ' +
      expected.toLocaleString('en') + ').');
  }
  if (answer.unlisted) {
    warnings.push(plural(answer.unlisted, 'more answer', 'more answers') + ' came from other addresses after the ' +
      'first ' + answer.limit.toLocaleString('en') + ' readers and ' + (answer.unlisted === 1 ? 'is' : 'are') +
      ' not listed.');
  }
  if (warnings.length) {
    warnings.push('Any device on the network can answer a search: select only the readers you know.');
  }
  const p = $('#discover-warning');
  p.textContent = warnings.join(' ');
  p.hidden = !warnings.length;
}

async function discover() {
  const button = $('#discover');
  button.disabled = true;
  $('#discover-status').textContent = 'searching…';
  const answer = await api('/api/discover', {});
  button.disabled = false;
  if (!answer.ok) {
    $('#discover-status').textContent = '';
    showPageError(answer.data.error);
    return;
  }
  showPageError('');
  const readers = answer.data.readers;
  const typed = $('#expected').value.trim();
  const last = localStorage.getItem(LAST_COUNT_KEY);
  const expected = typed !== '' ? Number(typed) : last !== null ? Number(last) : null;
  localStorage.setItem(LAST_COUNT_KEY, String(readers.length));
  // However many searches a flood answers, the page keeps about one list of
  // rows: past the limit, unselected rows that did not answer this time go.
  const answered = new Set(readers);
  if (rows.size + readers.filter((address) => !rows.has(address)).length > answer.data.limit) {
    for (const [address, row] of rows) {
      if (answered.has(address) || row.select.checked) continue;
      row.tr.remove();
      row.option.remove();
      rows.delete(address);
    }
  }
  for (const row of rows.values()) row.tr.classList.remove('new');
  const body = document.createDocumentFragment();
  let fresh = 0;
  for (const address of readers) {
    if (rows.has(address)) continue;
    addRow(address, body).tr.classList.add('new');
    fresh++;
  }
  $('#readers tbody').append(body);
  showSelection();
  showDiscovery(answer.data, fresh, expected);
  if (readers.length) await readRows(readers);
}

function showFieldErrors(form, fields) {
  for (const span of form.querySelectorAll('.field-error')) {
    span.textContent = (fields && fields[span.dataset.for]) || '';
  }
}

// The outcome of a change for one reader's row.
function reportLine(done) {
  return (line) => setResult(line.reader, line.ok ? done(line) : line.error, line.ok ? 'ok' : 'error');
}

async function refusedOrNone(form, refused) {
  showFieldErrors(form, refused && refused.fields);
  if (refused && !refused.fields) showPageError(refused.error);
  else showPageError('');
}

async function change(form) {
  const readers = selected();
  const values = {};
  for (const input of form.querySelectorAll('input, select')) values[input.name] = input.value.trim();
  if (!readers.length) {
    showPageError('Select one or more readers first.');
    return;
  }
  const what = form.dataset.what;
  for (const address of readers) setResult(address, 'sending…', 'busy');
  const refused = await perBatch('/api/set', { what, values }, readers, reportLine(() => what + ' stored'),
    'nothing sent');
  await refusedOrNone(form, refused);
  if (refused) return;
  await readRows(readers.filter((address) => rows.get(address).cells.result.classList.contains('ok')));
}

async function control(readers, bits, form) {
  if (!readers.length) {
    showPageError('Select one or more readers first.');
    return;
  }
  const refused = await perBatch('/api/control', { bits }, readers, reportLine(() => 'sent ' + bits), 'not sent');
  if (form) await refusedOrNone(form, refused);
  else if (refused) showPageError(refused.error);
}

async function pointHere() {
  const readers = selected();
  if (!readers.length) {
    showPageError('Select one or more readers first.');
    return;
  }
  const body = { 'code-type': $('#point-code-type').value };
  const refused = await perBatch('/api/point', body, readers, reportLine((line) => 'server now ' + line.server),
    'not sent');
  if (refused) showPageError(refused.error);
  else await readRows(readers);
}

async function setUpNetwork(form) {
  const reader = form.querySelector('select[name=reader]').value;
  const values = {};
  for (const input of form.querySelectorAll('input')) values[input.name] = input.value.trim();
  if (!reader) {
    showPageError('Discover the reader first.');
    return;
  }
  const shown = Object.entries(values).filter(([, v]) => v).map(([k, v]) => k + ' ' + v).join(', ');
  if (!confirm('Store these network settings on the reader at ' + reader + ' and REBOOT it?\n\n' +
               (shown || '(nothing to change)'))) {
    return;
  }
  const answer = await api('/api/net', { reader, values, confirm: true });
  await refusedOrNone(form, answer.ok ? null : answer.data);
  if (!answer.ok) return;
  if (!answer.data.ok) {
    setResult(reader, answer.data.error, 'error');
    return;
  }
  const address = answer.data.address;
  const started = Date.now();
  addRow(address);
  setResult(reader, 'network stored; rebooting, waiting for it at ' + address + '…', 'busy');
  for (;;) {
    await new Promise((resolve) => setTimeout(resolve, NET_RETRY_MS));
    let line = null;
    await perReader('/api/read', { readers: [address] }, (l) => { line = l; });
    if (line && line.ok) {
      fillRow(line);
      setResult(address, 'answers at its new address ' + address, 'ok');
      if (address !== reader) setResult(reader, 'moved to ' + address, 'ok');
      return;
    }
    if (Date.now() - started > NET_WAIT_MS) {
      setResult(address, 'no answer at ' + address + ' after ' + NET_WAIT_MS / 1000 + ' s', 'error');
      return;
    }
  }
}

function addCard(card) {
  const tr = document.createElement('tr');
  const shownCard = card.card.replace(/\r/g, '\\r') + (card.truncated ? ' [truncated]' : '');
  for (const text of [card.time, card.peer, shownCard]) {
    const td = document.createElement('td');
    td.textContent = text;
    tr.append(td);
  }
  $('#cards tbody').prepend(tr);
}

async function startLive() {
  const info = await api('/api/info');
  if (!info.ok) {
    showPageError(info.data.error);
    $('#discover').disabled = true;
    return;
  }
  if (!info.data.listen) return;
  $('#live').hidden = false;
  $('#live-port').textContent = 'Cards are received on port ' + info.data.listen + '.';
  const events = new EventSource('/api/events');
  events.addEventListener('card', (event) => addCard(JSON.parse(event.data)));
}

// ---- the Site panel: a site file against the segment, as rfidctl site does it.

const site = { text: null, name: 'site.csv', plan: null, next: 0 };
const NETWORK_COLUMNS = ['ip', 'mask', 'gateway', 'dns', 'mac'];
const COMMISSION_POLL_MS = 1000;

function siteStatus(text) { $('#site-status').textContent = text; }

// Every problem of a refused file, each naming its row and column.
function showSiteProblems(list) {
  const ul = $('#site-problems');
  ul.replaceChildren(...(list || []).map((text) => {
    const li = document.createElement('li');
    li.textContent = text;
    return li;
  }));
  ul.hidden = !(list && list.length);
}

function siteRefused(answer) {
  showSiteProblems(answer.data.problems);
  siteStatus(answer.data.problems ? answer.data.error : '');
  if (!answer.data.problems) showPageError(answer.data.error);
}

function cellsRow(texts, classes) {
  const tr = document.createElement('tr');
  texts.forEach((text, i) => {
    const td = document.createElement('td');
    td.textContent = text;
    if (classes && classes[i]) td.className = classes[i];
    tr.append(td);
  });
  return tr;
}

// The plan as a table: a line for each value that changes, then the rows
// without a reader and the readers without a row; apply's report beside.
function showPlan(plan) {
  site.plan = plan;
  const body = document.createDocumentFragment();
  for (const row of plan.rows) {
    const result = row.applied ? row.applied.report : row.problem && row.reader ? 'cannot be changed: ' + row.problem : '';
    if (!row.reader) {
      body.append(cellsRow([row.row, row.door, '(none)', '', '', '', row.problem]));
      continue;
    }
    row.changes.forEach((change, i) => {
      const network = NETWORK_COLUMNS.includes(change.column) ? 'network' : '';
      const tr = cellsRow([i ? '' : row.row, i ? '' : row.door, i ? '' : row.reader, change.column, change.now,
        change.new, i ? '' : result], ['', '', '', '', '', network, '']);
      if (!i) tr.className = 'first';
      body.append(tr);
    });
  }
  for (const reader of plan.readersWithoutRow) body.append(cellsRow(['', '', reader, '', '', '', 'no row for this reader']));
  $('#site-table tbody').replaceChildren(body);
  $('#site-table').hidden = false;
  let text = plan.toChange ? plural(plan.toChange, 'reader', 'readers') + ' to change (' + plan.networkSetups +
    ' with a network setup)' : 'Nothing to change';
  text += '; ' + plan.unchanged + ' unchanged, ' + plan.cannotChange + ' that cannot be changed, ' +
    plural(plan.rowsWithoutReader, 'row', 'rows') + ' without a reader, ' +
    plural(plan.readersWithoutRow.length, 'reader', 'readers') + ' without a row.';
  if (plan.changed !== undefined) {
    text = 'Applied: ' + plural(plan.changed, 'reader', 'readers') + ' changed, ' + plan.failed + ' failed' +
      (plan.networkSetupsLeftOut ? ', ' + plan.networkSetupsLeftOut + ' network setups left out' : '') +
      '. Plan again to see what is left.';
  }
  siteStatus(text);
  $('#site-apply').disabled = !(plan.changed === undefined && plan.toChange);
}

async function planSite() {
  $('#site-apply').disabled = true;
  siteStatus('searching the segment and reading every reader…');
  const answer = await api('/api/site/plan', { file: site.text });
  showSiteProblems(null);
  showPageError('');
  if (!answer.ok) return siteRefused(answer);
  showPlan(answer.data);
}

async function loadSiteFile(input) {
  const file = input.files[0];
  if (!file) return;
  site.text = await file.text();
  site.name = file.name;
  $('#site-plan').disabled = false;
  await planSite();
}

// One confirmation for the changes; the network setups, each of which
// reboots its reader, are listed and confirmed on their own.
async function applySite() {
  const changing = site.plan.rows.filter((row) => row.reader && row.changes.length && !row.problem);
  const networks = changing.filter((row) => row.network);
  if (!confirm('Change ' + plural(changing.length, 'reader', 'readers') + ' as the plan shows?' +
               (networks.length ? '\n\nThe network setups are asked for next.' : ''))) {
    return;
  }
  let network = false;
  if (networks.length) {
    const list = networks.map((row) => {
      const ip = row.changes.find((change) => change.column === 'ip');
      return row.reader + (ip ? ' -> ' + ip.new : '') + ' (row ' + row.row + ')';
    });
    network = confirm('These readers get a new network setup and REBOOT:\n\n' + list.join('\n') +
                      '\n\nSet them up too? (Cancel: everything else only)');
  }
  $('#site-apply').disabled = true;
  siteStatus('applying…');
  const answer = await api('/api/site/apply', { file: site.text, confirm: true, network, confirmNetwork: network });
  if (!answer.ok) return siteRefused(answer);
  showPlan(answer.data);
}

function download(text, name) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(new Blob([text], { type: 'text/csv' }));
  link.download = name;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
}

async function exportSite() {
  siteStatus('searching the segment and reading every reader…');
  const answer = await api('/api/site/export');
  if (!answer.ok) return siteRefused(answer);
  download(answer.data.csv, 'site.csv');
  showSiteProblems(answer.data.problems);
  siteStatus('Exported ' + plural(answer.data.readers, 'reader', 'readers') + ' as site.csv.');
}

// The log of commissioning, fetched while it runs: "waiting for the next
// board", then each step of the board in hand.
async function followCommissioning() {
  const log = $('#commission-log');
  for (;;) {
    const answer = await api('/api/site/commission?from=' + site.next);
    if (!answer.ok) return showPageError(answer.data.error);
    const state = answer.data;
    for (const event of state.events) {
      log.textContent += event.text + '\n';
      if (event.event !== 'note') $('#commission-status').textContent = event.text;
    }
    if (state.events.length) log.scrollTop = log.scrollHeight;
    site.next = state.next;
    const link = $('#commission-file');
    if (state.file && state.file !== site.commissioned) {
      if (site.commissioned !== undefined) URL.revokeObjectURL(link.href);
      site.commissioned = state.file;
      link.href = URL.createObjectURL(new Blob([state.file], { type: 'text/csv' }));
      link.download = site.name;
      link.hidden = false;
    }
    if (!state.running) return showCommissioning(false);
    await new Promise((resolve) => setTimeout(resolve, COMMISSION_POLL_MS));
  }
}

function showCommissioning(running) {
  $('#commission-start').disabled = running;
  $('#commission-stop').disabled = !running;
  $('#commission-log').hidden = false;
}

async function startCommissioning(form) {
  if (!site.text) return showPageError('Load a site file first.');
  const answer = await api('/api/site/commission', { file: site.text, factory: form.factory.value.trim() });
  showFieldErrors(form, answer.ok ? null : answer.data.fields);
  if (!answer.ok) return answer.data.fields ? null : siteRefused(answer);
  showPageError('');
  $('#commission-log').textContent = '';
  showCommissioning(true);
  site.next = 0;
  await followCommissioning();
}

// A page opened while commissioning runs follows it from the start.
async function resumeCommissioning() {
  const answer = await api('/api/site/commission?from=0');
  if (!answer.ok || !answer.data.running) return;
  showCommissioning(true);
  await followCommissioning();
}

$('#site-file').addEventListener('change', (event) => loadSiteFile(event.target));
$('#site-plan').addEventListener('click', planSite);
$('#site-apply').addEventListener('click', applySite);
$('#site-export').addEventListener('click', exportSite);
$('#commission').addEventListener('submit', (event) => { event.preventDefault(); startCommissioning(event.target); });
$('#commission-stop').addEventListener('click', () => api('/api/site/commission/stop', {}));
resumeCommissioning();

$('#discover').addEventListener('click', discover);
$('#point').addEventListener('click', pointHere);
$('#select-all').addEventListener('change', (event) => {
  for (const row of rows.values()) row.select.checked = event.target.checked;
});
const lastCount = localStorage.getItem(LAST_COUNT_KEY);
if (lastCount !== null) $('#expected').placeholder = lastCount;
for (const form of document.querySelectorAll('form[data-what]')) {
  form.addEventListener('submit', (event) => { event.preventDefault(); change(form); });
}
$('#control').addEventListener('submit', (event) => {
  event.preventDefault();
  control(selected(), event.target.bits.value.trim(), event.target);
});
$('#net').addEventListener('submit', (event) => { event.preventDefault(); setUpNetwork(event.target); });
startLive();
