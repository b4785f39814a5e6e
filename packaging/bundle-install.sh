#!/bin/sh
# Installs the rfidd board bundle (unpacked from rfidd-VERSION-ARCH.tar.gz).
#
#   ./install.sh [--prefix DIR] [--root DIR] [--no-init] [--force]
#
#   --prefix DIR   where the programs go (default /opt/rfidd):
#                  DIR/sbin/rfidd, DIR/bin/rfidctl, DIR/bin/rfidd-provision,
#                  DIR/lib/ (dynamic bundles: libraries), DIR/share/
#   --root DIR     install into a board image mounted or staged at DIR
#                  instead of the running system (no service is touched)
#   --no-init      do not install or link the init script / systemd unit
#   --force        install although the bundle's architecture or C library
#                  does not match this system
#
# Before anything is written it checks the machine: the processor (an armel
# bundle runs on any 32-bit ARM core, an armhf bundle needs ARMv7 with VFP)
# and, for a dynamically linked bundle, the GNU C library's version (below
# --root DIR: the image's); each mismatch is refused with its reason. It
# needs only a POSIX sh (BusyBox is enough) and writes nothing below /usr.
#
# The init script becomes /etc/init.d/rfidd and is linked for start at boot:
# with systemd a unit /etc/systemd/system/rfidd.service is enabled instead;
# with update-rc.d the usual rc links are made; otherwise (BusyBox init) the
# link /etc/init.d/S90rfidd. The settings file /etc/eth0-setting and the
# databases in /usr/local/etc are never created or changed here: provisioning
# is your explicit step (the command is printed at the end). A daemon that
# was running is restarted on the new programs; otherwise nothing is started.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
prefix=/opt/rfidd
root=
init=1
force=0
while [ $# -gt 0 ]; do
    case $1 in
        --prefix) [ $# -ge 2 ] || { echo "install.sh: --prefix needs a directory" >&2; exit 2; }; prefix=$2; shift 2 ;;
        --root) [ $# -ge 2 ] || { echo "install.sh: --root needs a directory" >&2; exit 2; }; root=$2; shift 2 ;;
        --no-init) init=0; shift ;;
        --force) force=1; shift ;;
        -h|--help) sed -n '2,28s/^# \{0,1\}//p' "$0"; exit 0 ;;
        *) echo "install.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
done
case $prefix in
    /*) ;;
    *) echo "install.sh: --prefix must be an absolute path" >&2; exit 2 ;;
esac
if [ -n "$root" ]; then
    [ -d "$root" ] || { echo "install.sh: $root is not a directory" >&2; exit 2; }
    root=$(cd "$root" && pwd)
    [ "$root" = / ] && root=
fi

value() { sed -n "s/^$1=//p" "$here/BUNDLE"; }
bundle_arch=$(value arch)
bundle_version=$(value version)
bundle_linkage=$(value linkage)
bundle_glibc=$(value glibc)
# Bundles from before static builds name only the C library they need.
[ -n "$bundle_linkage" ] || bundle_linkage=dynamic

# refuse MESSAGE [HINT]: the machine does not fit; nothing has been touched.
refuse() {
    echo "install.sh: $1" >&2
    [ -z "${2:-}" ] || echo "  ($2)" >&2
    if [ $force -eq 1 ]; then
        echo "install.sh: going on anyway (--force)" >&2
        return 0
    fi
    echo "install.sh: nothing was installed" >&2
    exit 1
}

# --- does the bundle fit this machine? --------------------------------------
# Checked before anything is written. A staged image (--root) is checked for
# its C library only: its processor is not this machine's.

# The processor: armel programs (ARMv5TE, soft-float) run on every 32-bit ARM
# core; armhf programs need ARMv7 with VFP. 64-bit ARM kernels run both.
if [ -z "$root" ]; then
    machine=$(uname -m)
    case $bundle_arch:$machine in
        armel:arm*|armel:aarch64) ;;
        armhf:armv7*|armhf:armv8*|armhf:aarch64)
            # An ARM kernel lists the core's features; a v7 core without
            # VFP cannot run hard-float programs.
            features=$(sed -n 's/^Features[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo 2>/dev/null | head -n 1)
            case " $features " in
                "  "|*" vfp"*) ;;
                *) refuse "this bundle (armhf) needs an ARMv7 core with VFP; this $machine core has none (features: $features)" \
                          "the armel bundle runs on it" ;;
            esac ;;
        armhf:arm*)
            refuse "this bundle (armhf) needs an ARMv7 core with VFP; this machine is $machine" \
                   "the armel bundle runs on any 32-bit ARM core" ;;
        amd64:x86_64) ;;
        *)
            refuse "this bundle is for $bundle_arch, this machine is $machine" \
                   "use --root DIR to stage a board image" ;;
    esac
fi

# glibc_of DIR: the release of the GNU C library below DIR (empty when there
# is none), read off the file, not run: a staged image's library is not
# this machine's. The library carries its banner ("... release version
# 2.31."); failing that, its newest GLIBC_2.N symbol version tells.
glibc_of() {
    for lib in "$1"/lib/libc.so.6 "$1"/lib/*-linux-gnu*/libc.so.6 \
        "$1"/usr/lib/libc.so.6 "$1"/usr/lib/*-linux-gnu*/libc.so.6 "$1"/lib32/libc.so.6; do
        [ -f "$lib" ] || continue
        release=$(tr -c 'A-Za-z0-9_. ' '\n' <"$lib" |
            sed -n 's/.* release version \(2\.[0-9][0-9.]*[0-9]\).*/\1/p' | head -n 1)
        [ -n "$release" ] || release=$(tr -c 'A-Z0-9_.' '\n' <"$lib" |
            sed -n 's/^GLIBC_\(2\.[0-9][0-9.]*\)$/\1/p' | sort -u -t . -k 2,2n -k 3,3n | tail -n 1)
        echo "$release"
        return 0
    done
}

# version_below A B: true when version A (2.N[.M]) is older than B.
version_below() {
    a2=$(echo "$1" | cut -d. -f2); a3=$(echo "$1" | cut -d. -f3)
    b2=$(echo "$2" | cut -d. -f2); b3=$(echo "$2" | cut -d. -f3)
    [ "${a2:-0}" -lt "${b2:-0}" ] || { [ "${a2:-0}" -eq "${b2:-0}" ] && [ "${a3:-0}" -lt "${b3:-0}" ]; }
}

# The C library, for dynamically linked programs only: static ones carry
# theirs.
if [ "$bundle_linkage" = dynamic ] && [ -n "$bundle_glibc" ]; then
    have=$(glibc_of "${root:-}")
    where="this machine"
    [ -z "$root" ] || where="the image at $root"
    if [ -z "$have" ]; then
        refuse "the programs of this bundle are dynamically linked against the GNU C library $bundle_glibc or later; $where has no GNU C library (libc.so.6)" \
               "the static bundle needs no C library of the board"
    elif version_below "$have" "$bundle_glibc"; then
        refuse "the programs of this bundle need the GNU C library $bundle_glibc or later; $where has $have" \
               "the static bundle needs no C library of the board"
    fi
fi

# Do the programs start here? (Only on the machine itself.)
if [ -z "$root" ]; then
    if ! out=$("$here/bin/rfidd-provision" --help 2>&1 >/dev/null) || [ -n "$out" ]; then
        refuse "the programs of this bundle do not start on this machine: $out"
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "install.sh: run as root (or use --root DIR for a staged image)" >&2
        exit 1
    fi
fi

dest=$root$prefix
echo "Installing rfidd $bundle_version ($bundle_arch) into $dest"

# put SRC DEST MODE: copy under a temporary name, then rename, so that a
# running program is replaced rather than overwritten.
put() {
    cp "$1" "$2.new.$$"
    chmod "$3" "$2.new.$$"
    mv -f "$2.new.$$" "$2"
}

# A daemon that runs now is restarted on the new files at the end.
was_running=0
if [ -z "$root" ] && [ -x /etc/init.d/rfidd ] && /etc/init.d/rfidd status >/dev/null 2>&1; then
    was_running=1
fi
if [ -z "$root" ] && [ -d /run/systemd/system ] && command -v systemctl >/dev/null 2>&1 &&
    systemctl is-active --quiet rfidd.service 2>/dev/null; then
    was_running=2
fi

if ! mkdir -p "$dest/bin" "$dest/sbin" "$dest/share/rfidd" "$dest/share/doc/rfidd" 2>/dev/null ||
    [ ! -w "$dest/bin" ]; then
    echo "install.sh: cannot write below $dest (a read-only file system?); choose a writable place with --prefix DIR" >&2
    exit 1
fi
put "$here/sbin/rfidd" "$dest/sbin/rfidd" 755
for f in "$here"/bin/*; do put "$f" "$dest/bin/$(basename "$f")" 755; done
# Dynamic bundles bring the shared libraries a bare system may lack.
for f in "$here"/lib/*; do
    [ -e "$f" ] || continue
    mkdir -p "$dest/lib"
    put "$f" "$dest/lib/$(basename "$f")" 644
done
for f in "$here"/share/doc/rfidd/*; do
    [ -e "$f" ] && put "$f" "$dest/share/doc/rfidd/$(basename "$f")" 644
done
put "$here/BUNDLE" "$dest/share/rfidd/BUNDLE" 644

# The init script and the unit name the daemon by its installed path.
sed "s|/usr/sbin/rfidd|$prefix/sbin/rfidd|g" "$here/share/rfidd/rfidd.init" >"$dest/share/rfidd/rfidd.init"
chmod 755 "$dest/share/rfidd/rfidd.init"
sed "s|/usr/sbin/rfidd|$prefix/sbin/rfidd|g; s|/usr/share/doc/rfidd|$prefix/share/doc/rfidd|g" \
    "$here/share/rfidd/rfidd.service" >"$dest/share/rfidd/rfidd.service"
chmod 644 "$dest/share/rfidd/rfidd.service"

# --- start at boot -------------------------------------------------------
start_cmd="/etc/init.d/rfidd start"
if [ $init -eq 1 ]; then
    etc=$root/etc
    mkdir -p "$etc/init.d"
    put "$dest/share/rfidd/rfidd.init" "$etc/init.d/rfidd" 755
    if { [ -z "$root" ] && [ -d /run/systemd/system ]; } || { [ -n "$root" ] && [ -d "$etc/systemd/system" ]; }; then
        put "$dest/share/rfidd/rfidd.service" "$etc/systemd/system/rfidd.service" 644
        if [ -z "$root" ]; then
            systemctl daemon-reload
            systemctl enable rfidd.service
        else
            mkdir -p "$etc/systemd/system/multi-user.target.wants"
            ln -sf ../rfidd.service "$etc/systemd/system/multi-user.target.wants/rfidd.service"
        fi
        start_cmd="systemctl start rfidd"
        echo "Enabled systemd unit /etc/systemd/system/rfidd.service"
    elif [ -z "$root" ] && command -v update-rc.d >/dev/null 2>&1; then
        update-rc.d rfidd defaults
        echo "Linked /etc/init.d/rfidd with update-rc.d"
    elif [ -d "$etc/rc2.d" ] || [ -d "$etc/rc3.d" ] || [ -d "$etc/rc5.d" ]; then
        for n in 2 3 4 5; do
            [ -d "$etc/rc$n.d" ] && ln -sf ../init.d/rfidd "$etc/rc$n.d/S90rfidd"
        done
        for n in 0 1 6; do
            [ -d "$etc/rc$n.d" ] && ln -sf ../init.d/rfidd "$etc/rc$n.d/K10rfidd"
        done
        echo "Linked /etc/init.d/rfidd into /etc/rc?.d"
    else
        ln -sf rfidd "$etc/init.d/S90rfidd"
        echo "Linked /etc/init.d/S90rfidd -> rfidd (started by BusyBox rcS at boot)"
    fi
fi

# --- settings and databases: only reported ---------------------------------
missing=
for f in /etc/eth0-setting /usr/local/etc/reader.db /usr/local/etc/card.db; do
    if [ -e "$root$f" ]; then
        echo "Kept $f as it is"
    else
        missing="$missing $f"
    fi
done

if [ -n "$missing" ]; then
    echo
    echo "Not provisioned yet (missing:$missing). Provision the board, for example:"
    echo "  $prefix/bin/rfidd-provision --ip 192.168.0.100 --mask 255.255.255.0 \\"
    echo "      --gateway 192.168.0.1 --dns 192.168.0.1 --mac 00:11:22:33:44:55 \\"
    echo "      --server-ip 192.168.0.10 --server-port 9000"
    echo "(with your own addresses; add --root DIR for a staged image), then start it:"
    echo "  $start_cmd"
elif [ -z "$root" ]; then
    case $was_running in
        1) /etc/init.d/rfidd restart ;;
        2) systemctl restart rfidd.service ;;
        *) echo; echo "Check the settings with $prefix/bin/rfidd-provision --check, then start it:"
           echo "  $start_cmd" ;;
    esac
fi
echo "Done."
