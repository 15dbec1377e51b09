#!/bin/bash
# Evidence Vault daemon: seals the owner's evidence log into a root-owned folder that
# user-level processes cannot alter. Runs as root under launchd (macOS) or systemd (Linux).
#
#   corvane_vault_daemon.sh [--once] LOG
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
umask 022

once=0
if [ "${1:-}" = "--once" ]; then
    once=1
    shift
fi
if [ $# -ne 1 ]; then
    echo "usage: $0 [--once] LOG" >&2
    exit 2
fi
log=$1
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

file_size() {
    stat -c %s "$1" 2>/dev/null || stat -f %z "$1" 2>/dev/null
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

seal_round() {
    mkdir -p "$vault" && chmod 755 "$vault" || return 1
    repair_master
    # A symbolic link in the log's place could point root at any file.
    if [ ! -f "$log" ] || [ -L "$log" ]; then
        return 0
    fi
    local length
    length=$(file_size "$log")
    [ -n "$length" ] || return 0
    if [ "$length" = "$(last_sealed_length)" ]; then
        return 0
    fi
    local now started digest
    now=$(date -u +%Y-%m-%dT%H:%M:%SZ)
    started=$(date +%s)
    # The log grows while it is hashed: exactly the first $length bytes are sealed.
    digest=$(head -c "$length" <"$log" | sha256_stdin)
    hash_seconds=$(($(date +%s) - started))
    [ ${#digest} -eq 64 ] || return 1
    # Had the log shrunk meanwhile, fewer than $length bytes would have been hashed.
    local after
    after=$(file_size "$log")
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
