#!/usr/bin/env bash
# Regenerates pin_keys.txt: for each PIN, the two MD5 digests of 00||PIN and
# 01||PIN by the stock openssl command, then their first 168 bits (byte by
# byte, least significant bit first) cut into 24 groups of 7 bits, one key
# byte each with bit 7 zero.
set -euo pipefail
cd "$(dirname "$0")"
{
  echo "# pin key (made by make_pin_keys.sh)"
  for pin in 1234 0000 12345678 abcdefghijklmnop 'p@ss w0rd'; do
    d1=$( { printf '\x00'; printf '%s' "$pin"; } | openssl dgst -md5 -r | cut -c1-32)
    d2=$( { printf '\x01'; printf '%s' "$pin"; } | openssl dgst -md5 -r | cut -c1-32)
    key=$(python3 -c '
import sys
s = bytes.fromhex(sys.argv[1] + sys.argv[2])
n = int.from_bytes(s, "little")
print(bytes((n >> (7 * j)) & 0x7F for j in range(24)).hex())' "$d1" "$d2")
    printf '%s %s\n' "$(printf '%s' "$pin" | od -An -tx1 | tr -d ' \n')" "$key"
  done
} > pin_keys.txt
