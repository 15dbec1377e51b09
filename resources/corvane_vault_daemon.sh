#!/bin/bash
# Evidence Vault daemon: seals the owner's evidence log into a root-owned folder that
# user-level processes cannot alter. Runs as root under launchd (macOS) or systemd (Linux).
#
#   corvane_vault_daemon.sh [--once] LOG [UID]
#
# UID is the user the daemon serves (by default the owner of the log's folder): only a regular
# file that user owns is sealed, read through the one descriptor its checks were made on, and
# the seal files are readable by root and that user's group alone.
#
# Whenever the log's length changed since the last seal (looked at once a minute), one line
# is appended to each file of the vault folder:
#   CV_personal.sha256   <UTC time> bytes=<length> sha256=<SHA-256 of the log's first <length> bytes>
#   MASTER_SEAL.sha256   <UTC time> chain=<SHA-256 of: the previous master line, LF, the new seal line>
# The first master line chains from an empty line. Anyone holding a copy of the log can check
# every seal, and an edited, inserted or removed seal line breaks the chain.
# --once runs a single sealing round and exits.
#
# Every location is prefixed with $CORVANE_VAULT_PREFIX when it is set (tests only).
# Written for the bash 3.2 that macOS ships.
set -u
umask 027

once=0
if [ "${1:-}" = "--once" ]; then
    once=1
    shift
fi
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 [--once] LOG [UID]" >&2
    exit 2
fi
log=$1
uid=${2:-}
vault="${CORVANE_VAULT_PREFIX:-}/var/corvane_vault"
seals="$vault/CV_personal.sha256"
master="$vault/MASTER_SEAL.sha256"
min_interval=60

hex64() {
    grep -oE '[0-9a-fA-F]{64}' | head -n 1 | tr 'A-F' 'a-f'
}

# The fastest SHA-256 at hand: OpenSSL (LibreSSL on macOS) uses the CPU's SHA instructions;
# coreutils and Perl's shasum are the fallbacks.
if command -v openssl >/dev/null 2>&1 && printf '' | openssl dgst -sha256 >/dev/null 2>&1; then
    sha256_stdin() { openssl dgst -sha256 | hex64; }
elif command -v sha256sum >/dev/null 2>&1; then
    sha256_stdin() { sha256sum | hex64; }
elif command -v shasum >/dev/null 2>&1; then
    sha256_stdin() { shasum -a 256 | hex64; }
else
    echo "corvane_vault: no SHA-256 tool found" >&2
    exit 1
fi

# "<type>|<owner uid>|<size>" of a file, following links (GNU stat, else BSD stat).
file_facts() {
    local facts
    if facts=$(stat -L -c '%F|%u|%s' "$1" 2>/dev/null); then
        printf '%s\n' "${facts/regular empty file/regular file}"
    elif facts=$(stat -L -f '%HT|%u|%z' "$1" 2>/dev/null); then
        printf '%s\n' "${facts/Regular File/regular file}"
    fi
}

served_uid() {
    if [ -n "$uid" ]; then
        echo "$uid"
    else
        stat -L -c %u "$(dirname "$log")" 2>/dev/null || stat -L -f %u "$(dirname "$log")" 2>/dev/null
    fi
}

line_count() {
    if [ -f "$1" ]; then
        wc -l <"$1" | tr -d ' '
    else
        echo 0
    fi
}

# Appends the master line for one seal line, dated with the seal's own time.
append_master() {
    local previous=""
    if [ -s "$master" ]; then
        previous=$(tail -n 1 "$master")
    fi
    local chain
    chain=$(printf '%s\n%s' "$previous" "$1" | sha256_stdin)
    [ ${#chain} -eq 64 ] || return 1
    printf '%s chain=%s\n' "${1%% *}" "$chain" >>"$master"
}

# A round interrupted between the two appends leaves a seal without its master line: chain it
# now, so the vault stays verifiable.
repair_master() {
    local sealed chained
    sealed=$(line_count "$seals")
    chained=$(line_count "$master")
    while [ "$chained" -lt "$sealed" ]; do
        chained=$((chained + 1))
        append_master "$(sed -n "${chained}p" "$seals")" || return 1
    done
}

last_sealed_length() {
    [ -s "$seals" ] || return 0
    tail -n 1 "$seals" | sed -n 's/^[^ ]* bytes=\([0-9][0-9]*\) .*$/\1/p'
}

hash_seconds=0

# The vault folder and its seal files: root's, readable by the served user's group alone.
# The installer sets their owners; under the service manager the daemon may not (it lacks the
# right), and only narrows the modes.
secure_vault() {
    local group file
    group=$(id -g "$1" 2>/dev/null) || group=0
    mkdir -p "$vault" || return 1
    for file in "$seals" "$master"; do
        [ -e "$file" ] || : >>"$file" || return 1
    done
    chown "0:$group" "$vault" "$seals" "$master" 2>/dev/null
    chmod 750 "$vault" && chmod 640 "$seals" "$master"
}

seal_round() {
    local owner
    owner=$(served_uid)
    [ -n "$owner" ] || return 0
    secure_vault "$owner" || return 1
    repair_master
    # A link, a pipe or a device in the log's place is not opened (opening a pipe would wait).
    if [ ! -f "$log" ] || [ -L "$log" ]; then
        return 0
    fi
    # The log is opened once; what is checked and what is hashed is that one open file, so a
    # link swapped in meanwhile cannot point root at another file.
    exec 3<"$log" || return 0
    local facts type file_uid length
    facts=$(file_facts /dev/fd/3)
    type=${facts%%|*}
    file_uid=${facts#*|}
    file_uid=${file_uid%%|*}
    length=${facts##*|}
    if [ "$type" != "regular file" ] || [ "$file_uid" != "$owner" ] || [ -z "$length" ] ||
        [ "$length" = "$(last_sealed_length)" ]; then
        exec 3<&-
        return 0
    fi
    local now started digest
    now=$(date -u +%Y-%m-%dT%H:%M:%SZ)
    started=$(date +%s)
    # The log grows while it is hashed: exactly the first $length bytes are sealed.
    digest=$(head -c "$length" <&3 | sha256_stdin)
    hash_seconds=$(($(date +%s) - started))
    # Had the log shrunk meanwhile, fewer than $length bytes would have been hashed.
    local after
    after=$(file_facts /dev/fd/3)
    after=${after##*|}
    exec 3<&-
    [ ${#digest} -eq 64 ] || return 1
    [ -n "$after" ] && [ "$after" -ge "$length" ] || return 0
    local line="$now bytes=$length sha256=$digest"
    printf '%s\n' "$line" >>"$seals" || return 1
    append_master "$line"
}

while :; do
    seal_round
    status=$?
    [ "$once" -eq 1 ] && exit "$status"
    # Hashing takes at most a tenth of the time, however large the log grows.
    interval=$((hash_seconds * 10))
    [ "$interval" -ge "$min_interval" ] || interval=$min_interval
    sleep "$interval"
done
