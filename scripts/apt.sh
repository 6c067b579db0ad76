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

# apt_install_from_matched_suites WHO PACKAGE...
# Installs from the suites whose i386 and amd64 versions match: every configured source but the
# security suite, whose i386 index can lag behind (or fail to download) while the installed amd64
# libraries already carry its updates. Kept apart from the system's own indexes, and preferred
# even where that means going back to the suite's version of a library the install shares
# between the two architectures.
apt_install_from_matched_suites() {
    local who=$1
    shift
    local matched
    matched=$(mktemp -d)
    mkdir -p "$matched/parts" "$matched/lists/partial"
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk 'BEGIN { RS = ""; ORS = "\n\n" } !/Suites:[^\n]*-security/' "$file" \
            >"$matched/parts/$(basename "$file")"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        grep -v -- '-security' "$file" >"$matched/parts/$(basename "$file").list" || true
    done
    printf 'Package: *\nPin: release o=Debian\nPin-Priority: 1001\n' >"$matched/preferences"
    local options=(-o "Dir::Etc::SourceParts=$matched/parts" -o Dir::Etc::SourceList=/dev/null
                   -o "Dir::State::Lists=$matched/lists"
                   -o "Dir::Etc::Preferences=$matched/preferences"
                   -o "Dir::Etc::PreferencesParts=$matched/none")
    local status=0
    apt_refresh "$who" "${options[@]}"
    apt_install "$who" "${options[@]}" --allow-downgrades -- "$@" || status=1
    rm -rf "$matched"
    return $status
}

apt_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
