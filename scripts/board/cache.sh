# Debian packages for other architectures and Debian source packages,
# fetched into a cache folder of the build tree and never installed on this
# machine: the armel SQLite archive, cJSON's source, BusyBox, the board's
# kernel, the emulator for foreign roots.
#
# A private apt (its own lists, status and sources in $BOARD_CACHE/apt) asks
# the Debian mirrors this machine is configured with, for armel and armhf,
# with the deb-src lines they need; the machine's own apt is not touched.
# shellcheck shell=bash

# board_cache_init DIR: the cache lives in DIR (created).
board_cache_init() {
    BOARD_CACHE=$(mkdir -p "$1" && cd "$1" && pwd)
    local apt=$BOARD_CACHE/apt
    mkdir -p "$apt/lists/partial" "$apt/archives/partial" "$apt/sources" "$BOARD_CACHE/debs"
    [ -e "$apt/status" ] || : >"$apt/status"
    BOARD_APT_OPTS=(-o "Dir::Etc::SourceList=$apt/sources/none.list" -o "Dir::Etc::SourceParts=$apt/sources"
        -o "Dir::State::Lists=$apt/lists" -o "Dir::State::Status=$apt/status" -o "Dir::Cache=$apt"
        -o "Dir::Cache::archives=$apt/archives" -o APT::Architecture=armel
        -o APT::Architectures::=armel -o APT::Architectures::=armhf
        -o APT::Sandbox::User=root -o Acquire::Languages=none -q)
}

# board_debian_mirror: the first Debian mirror this machine's apt uses
# (e.g. http://deb.debian.org/debian).
board_debian_mirror() {
    local uri
    uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | sed -n 's/^URIs:[[:space:]]*//p' |
        tr ' ' '\n' | grep -E '/debian/?$' | head -1)
    [ -n "$uri" ] || uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]*\/debian\/\?\)[[:space:]].*/\2/p' | head -1)
    echo "${uri%/}"
}

# board_apt_update: the private lists, at most a day old. The sources are the
# machine's Debian entries (one-line or deb822), each also as deb-src. Runs
# of scripts at the same time take turns.
board_apt_update() {
    (flock 9 && board_apt_update_locked) 9>"$BOARD_CACHE/apt/board.lock"
}
board_apt_update_locked() {
    local apt=$BOARD_CACHE/apt stamp=$BOARD_CACHE/apt/updated
    if [ -e "$stamp" ] && [ -n "$(find "$stamp" -mmin -1440)" ]; then return 0; fi
    rm -f "$apt/sources/"*
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -e "$f" ] || continue
        # deb822 stanzas are separated by blank lines; keep the Debian ones.
        awk 'BEGIN { RS = ""; ORS = "\n\n" } /URIs:[^\n]*\/debian(-security)?\/?(\n| |$)/ {
                 sub(/Types:[^\n]*/, "Types: deb deb-src"); print }' "$f" >>"$apt/sources/debian.sources"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -e "$f" ] || continue
        grep -E '^deb[[:space:]].*/debian(-security)?/?[[:space:]]' "$f" |
            while read -r line; do echo "$line"; echo "deb-src${line#deb}"; done >>"$apt/sources/debian.list"
    done
    [ -s "$apt/sources/debian.sources" ] || [ -s "$apt/sources/debian.list" ] ||
        { echo "cache: no Debian mirror in this machine's apt sources" >&2; return 1; }
    echo "cache: updating the package lists for armel and armhf (private apt in $apt)"
    apt-get "${BOARD_APT_OPTS[@]}" update >"$apt/update.log" 2>&1 ||
        { cat "$apt/update.log" >&2; return 1; }
    touch "$stamp"
}

# board_deb PACKAGE:ARCH: prints the path of the package's .deb in the cache,
# downloading the candidate version when it is not there yet (a package of
# this machine's architecture through the machine's own package lists).
board_deb() {
    local name=${1%%:*} arch=${1##*:} deb opts=("${BOARD_APT_OPTS[@]}")
    deb=$(ls "$BOARD_CACHE/debs/${name}_"*"_$arch.deb" 2>/dev/null | head -1)
    if [ -z "$deb" ]; then
        if [ "$arch" = "$(dpkg --print-architecture)" ]; then
            opts=(-q -o APT::Sandbox::User=root)
        else
            board_apt_update || return 1
        fi
        (cd "$BOARD_CACHE/debs" && flock "$BOARD_CACHE/apt/board.lock" \
            apt-get "${opts[@]}" download "$1" >/dev/null 2>"$BOARD_CACHE/apt/download.log.$$") ||
            { echo "cache: cannot download $1" >&2; cat "$BOARD_CACHE/apt/download.log.$$" >&2; return 1; }
        deb=$(ls "$BOARD_CACHE/debs/${name}_"*"_$arch.deb" | head -1)
    fi
    echo "$deb"
}

# board_unpacked PACKAGE:ARCH: prints a directory holding the package's
# files (dpkg-deb -x), unpacking it once.
board_unpacked() {
    local dir=$BOARD_CACHE/unpacked/${1/:/_} deb
    if [ ! -e "$dir/.done" ]; then
        deb=$(board_deb "$1") || return 1
        rm -rf "$dir" && mkdir -p "$dir" && dpkg-deb -x "$deb" "$dir" && touch "$dir/.done" || return 1
    fi
    echo "$dir"
}

# board_source PACKAGE VERSION: prints the directory of Debian's source
# package PACKAGE at VERSION, unpacked with its Debian patches applied.
board_source() {
    local dir=$BOARD_CACHE/source/$1-$2
    if [ ! -e "$dir/.done" ]; then
        board_apt_update || return 1
        rm -rf "$BOARD_CACHE/source/$1-$2" "$BOARD_CACHE/source/get-$1" && mkdir -p "$BOARD_CACHE/source/get-$1"
        (cd "$BOARD_CACHE/source/get-$1" &&
            flock "$BOARD_CACHE/apt/board.lock" \
                apt-get "${BOARD_APT_OPTS[@]}" source --download-only "$1=$2" >/dev/null 2>../get-$1.log &&
            dpkg-source -x --no-check ./*.dsc "$dir" >/dev/null 2>>../get-$1.log) ||
            { echo "cache: cannot fetch the source of $1 $2" >&2; cat "$BOARD_CACHE/source/get-$1.log" >&2; return 1; }
        touch "$dir/.done"
    fi
    echo "$dir"
}

# board_qemu_arm: prints the path of a statically linked qemu-arm (from
# Debian's qemu-user-static, unpacked without installing it), by the name
# binfmt_misc's flag P wants. Being static, it runs ARM programs through
# binfmt_misc inside a root that holds no library of this machine.
board_qemu_arm() {
    local dir=$BOARD_CACHE/qemu-user-static deb
    if [ ! -x "$dir/qemu-arm-static" ]; then
        deb=$(board_deb "qemu-user-static:$(dpkg --print-architecture)") || return 1
        mkdir -p "$dir"
        # Only the one program: the archive is read until it has been found.
        dpkg-deb --fsys-tarfile "$deb" 2>/dev/null |
            tar -x -O --occurrence=1 ./usr/bin/qemu-arm-static >"$dir/qemu-arm-static.new" || true
        [ -s "$dir/qemu-arm-static.new" ] || { echo "cache: no qemu-arm-static in $deb" >&2; return 1; }
        chmod 755 "$dir/qemu-arm-static.new" && mv "$dir/qemu-arm-static.new" "$dir/qemu-arm-static"
    fi
    # Called by this name, qemu takes the program's own argv[0] as the
    # argument after the program (binfmt_misc flag P): BusyBox, which runs
    # its applets again through /proc/self/exe, needs that.
    ln -sf qemu-arm-static "$dir/arm-binfmt-P"
    echo "$dir/arm-binfmt-P"
}
