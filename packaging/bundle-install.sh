#!/bin/sh
# Installs the rfidd board bundle (unpacked from rfidd-VERSION-ARCH.tar.gz).
#
#   ./install.sh [--prefix DIR] [--root DIR] [--no-init] [--force]
#
#   --prefix DIR   where the programs go (default /opt/rfidd):
#                  DIR/sbin/rfidd, DIR/bin/rfidctl, DIR/bin/rfidd-provision,
#                  DIR/lib/ (libraries), DIR/share/
#   --root DIR     install into a board image mounted or staged at DIR
#                  instead of the running system (no service is touched)
#   --no-init      do not install or link the init script / systemd unit
#   --force        install although the bundle's architecture or C library
#                  does not match this system
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
        -h|--help) sed -n '2,21s/^# \{0,1\}//p' "$0"; exit 0 ;;
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
bundle_glibc=$(value glibc)

# --- does the bundle fit this machine? ------------------------------------
if [ -z "$root" ] && [ $force -eq 0 ]; then
    machine=$(uname -m)
    case $bundle_arch:$machine in
        armhf:arm*|amd64:x86_64) ;;
        *)
            echo "install.sh: this bundle is for $bundle_arch, this machine is $machine" >&2
            echo "  (use --root DIR to stage a board image, or --force)" >&2
            exit 1 ;;
    esac
fi
if [ -z "$root" ] && [ "$(id -u)" -ne 0 ]; then
    echo "install.sh: run as root (or use --root DIR for a staged image)" >&2
    exit 1
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

mkdir -p "$dest/bin" "$dest/sbin" "$dest/lib" "$dest/share/rfidd" "$dest/share/doc/rfidd"
put "$here/sbin/rfidd" "$dest/sbin/rfidd" 755
for f in "$here"/bin/*; do put "$f" "$dest/bin/$(basename "$f")" 755; done
for f in "$here"/lib/*; do
    [ -e "$f" ] && put "$f" "$dest/lib/$(basename "$f")" 644
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

# --- do the programs load here? -------------------------------------------
if [ -z "$root" ]; then
    if ! out=$("$dest/bin/rfidd-provision" --help 2>&1 >/dev/null) && [ -n "$out" ]; then
        case $out in
            *"shared librar"*|*GLIBC*|*"not found"*|*"No such file"*)
                echo "install.sh: the programs do not load on this system:" >&2
                echo "$out" >&2
                echo "  (the bundle needs the GNU C library $bundle_glibc or later)" >&2
                [ $force -eq 1 ] || exit 1 ;;
        esac
    fi
fi

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
