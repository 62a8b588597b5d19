#!/bin/sh
# Checks the dynamic symbol table of the shared library: it must define the
# ten tarnwick_ functions and no other symbol, and carry its SONAME.
set -eu
lib=$1

expected='tarnwick_abi_version
tarnwick_cancel
tarnwick_create
tarnwick_default_config
tarnwick_free
tarnwick_reason
tarnwick_result
tarnwick_run
tarnwick_sample
tarnwick_version'

status=0
functions=$(nm -D --defined-only "$lib" | awk '$2 == "T" { print $3 }' | sort)
others=$(nm -D --defined-only "$lib" | awk '$2 != "T" { print $2, $3 }')
if [ "$functions" != "$expected" ]; then
  echo "exported functions:"
  printf '%s\n' "$functions"
  echo "expected exactly:"
  printf '%s\n' "$expected"
  status=1
fi
if [ -n "$others" ]; then
  echo "unexpected dynamic symbols:"
  printf '%s\n' "$others"
  status=1
fi

soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
if [ "$soname" != "libtarnwick.so.0" ]; then
  echo "SONAME is '$soname', expected libtarnwick.so.0"
  status=1
fi

[ "$status" -eq 0 ] && echo "10 exports, SONAME $soname"
exit "$status"
