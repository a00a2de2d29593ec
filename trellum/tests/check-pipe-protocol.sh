#!/usr/bin/env bash
# check-pipe-protocol.sh <model.pml> <work-dir>
# Model-checks the pipe's wait/wake protocol with Spin: each scenario of the
# model must hold, and each deliberately broken variant of it must give a
# counterexample through the assertion named beside it. Prints the states
# explored.
set -u
model=$1 work=$2
mkdir -p "$work"
status=0

# verify <name> <spin -D switches...>: runs the exhaustive search in
# $work/<name>; the verifier's report ends up in $work/<name>/report.txt.
verify() {
  local name=$1; shift
  local dir="$work/$name"
  rm -rf "$dir" && mkdir -p "$dir"
  (cd "$dir" && spin -a "$@" "$model" >spin.txt 2>&1) || { cat "$dir/spin.txt"; return 1; }
  # Safety only (every run of the model is finite); states stored compressed.
  gcc -O2 -DSAFETY -DNOCLAIM -DCOLLAPSE -o "$dir/pan" "$dir/pan.c" || return 1
  # -m: search depth, far beyond the longest run; -E would hide invalid
  # end states, so it is not given.
  (cd "$dir" && ./pan -m100000 >report.txt 2>&1)
  return 0
}

defines() { [ "$1" = - ] || echo "-D${1//,/ -D}"; }
states() { awk '/states, stored/ {print $1; exit}' "$1"; }

# name, switches (comma-separated, or -), for each scenario that must hold
while read -r name switches; do
  verify "$name" $(defines "$switches") || exit 1
  report="$work/$name/report.txt"
  if grep -q 'errors: 0' "$report" && ! grep -q 'max search depth too small' "$report" &&
     ! grep -q 'pan:1' "$report"; then
    echo "$name: no counterexample, $(states "$report") states explored"
  else
    echo "$name: FAILED"
    cat "$report"
    status=1
  fi
done <<'SOUND'
receivers -
senders SENDERS
senders-byte-limit SENDERS,BYTE_LIMIT
inbox INBOX
SOUND

# name, switches, the assertion its counterexample must violate
while read -r name switches expected; do
  verify "$name" $(defines "$switches") || { status=1; continue; }
  report="$work/$name/report.txt"
  if grep -q 'pan:1: assertion violated' "$report" && grep -qF "$expected" "$report"; then
    echo "$name: counterexample as expected ($(grep -m1 'pan:1' "$report" | sed 's/^pan:1: //'))," \
         "$(states "$report") states explored"
  else
    echo "$name: FAILED: no counterexample through $expected"
    cat "$report"
    status=1
  fi
done <<'VARIANTS'
signal-at-shutdown SIGNAL_AT_SHUTDOWN !(eventSeen[i])
if-not-while IF_NOT_WHILE (count>0)
plain-flag PLAIN_FLAG !(eventSeen[i])
delete-signals-one-sender SENDERS,DELETE_SIGNALS_ONE !(inRoomWait[i])
cancel-signals-one SENDERS,CANCEL_SIGNALS_ONE !(cancelled)
no-cancel-wait SENDERS,NO_CANCEL_WAIT !(locked)
signal-for-bytes SENDERS,BYTE_LIMIT,SIGNAL_FOR_BYTES !(inRoomWait[i])
push-after-look INBOX,PUSH_AFTER_LOOK (inboxTop==0)
drain-newest-first INBOX,DRAIN_NEWEST_FIRST (m>lastTaken)
trusts-first-look INBOX,TRUSTS_FIRST_LOOK (count==0)
VARIANTS

exit $status
