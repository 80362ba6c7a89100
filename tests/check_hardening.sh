#!/usr/bin/env bash
# Prints the hardening of each program as readelf shows it, one line each:
#   PIE yes, RELRO full (BIND_NOW), stack protector yes, fortified calls __syslog_chk, stack non-executable
# and fails when any program is not a position-independent executable, lacks full RELRO (RELRO
# with BIND_NOW), a stack protector, or a non-executable stack. Fortified calls are printed only:
# a program may have no call the compiler can check.
#
#   tests/check_hardening.sh PROGRAM...
set -euo pipefail

failed=0
for program in "$@"; do
  header=$(readelf -hW "$program")
  segments=$(readelf -lW "$program")
  dynamic=$(readelf -dW "$program")
  symbols=$(readelf --dyn-syms -W "$program")
  missing=""

  # A PIE is a shared object with a program interpreter; newer linkers also flag it.
  pie=no
  if grep -q 'Type: *DYN' <<<"$header" && grep -q '^ *INTERP ' <<<"$segments"; then
    pie=yes
  fi

  relro=none
  if grep -q '^ *GNU_RELRO ' <<<"$segments"; then
    relro="partial (no BIND_NOW)"
    if grep -Eq '\(BIND_NOW\)|\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$dynamic"; then
      relro="full (BIND_NOW)"
    fi
  fi

  protector=no
  grep -q ' __stack_chk_fail\b' <<<"$symbols" && protector=yes

  fortified=$(grep -o '\b__[A-Za-z0-9_]*_chk\b' <<<"$symbols" | sort -u |
    paste -sd ' ') || true

  # GNU_STACK's flags: RW, or RWE for an executable stack; no GNU_STACK at all means executable.
  stack=executable
  if grep -Eq '^ *GNU_STACK( +[^ ]+){5} +RW ' <<<"$segments"; then
    stack=non-executable
  fi

  echo "PIE $pie, RELRO $relro, stack protector $protector, fortified calls ${fortified:-none}," \
    "stack $stack"
  [ "$pie" = yes ] || missing+=", PIE"
  [ "$relro" = "full (BIND_NOW)" ] || missing+=", full RELRO"
  [ "$protector" = yes ] || missing+=", a stack protector"
  [ "$stack" = non-executable ] || missing+=", a non-executable stack"
  if [ -n "$missing" ]; then
    echo "check_hardening: $program lacks ${missing#, }" >&2
    failed=1
  fi
done
exit "$failed"
