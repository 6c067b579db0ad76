# Sourced by the install scripts: apt-get, run so that it cannot break the machine.
# An index that fails to download is reported and ignored (what the other indexes offer may still
# do); every install is simulated first and refused when apt would remove anything; a package
# that cannot be installed is named, with apt's reason, in one line.

apt_sudo=""
[ "$(id -u)" -eq 0 ] || apt_sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

# apt_refresh WHO [APT OPTION...]
apt_refresh() {
    local who=$1 log
    shift
    log=$(mktemp)
    if ! $apt_sudo apt-get "$@" update -qq >"$log" 2>&1; then
        echo "$who: an index failed to download, going on with the others:" \
            "$(grep -m1 '^[EW]:' "$log" | cut -c4-140)"
    fi
    rm -f "$log"
}

# apt_install WHO [APT OPTION...] -- PACKAGE...
# Returns 1 after one line that says which package cannot be installed and why.
apt_install() {
    local who=$1 options=() log removals status=0
    shift
    while [ "$1" != "--" ]; do
        options+=("$1")
        shift
    done
    shift
    log=$(mktemp)
    if ! apt-get "${options[@]}" install -s --no-install-recommends "$@" >"$log" 2>&1; then
        echo "$who: cannot install $*: $(apt_reason "$log")"
        status=1
    else
        removals=$(awk '/^Remv /{printf "%s ", $2}' "$log")
        if [ -n "$removals" ]; then
            echo "$who: refused to install $*: apt would remove ${removals% }"
            status=1
        elif ! $apt_sudo apt-get "${options[@]}" install -y -qq --no-install-recommends "$@" \
            >"$log" 2>&1; then
            echo "$who: cannot install $*: $(apt_reason "$log")"
            status=1
        fi
    fi
    rm -f "$log"
    return $status
}

# The first unmet dependency names the package that cannot be had; otherwise apt's first error.
apt_reason() {
    local reason
    reason=$(grep -m1 -E '^ +[^ ]+ : (Pre)?Depends:' "$1" | sed 's/^ *//')
    [ -n "$reason" ] || reason=$(grep -m1 '^E:' "$1" | cut -c4-)
    echo "${reason:-apt-get failed}"
}

apt_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
