#!/usr/bin/env bash
# A self-signed P-256 certificate of COUNT DNS names, each made from FORMAT
# and its number: PREFIX.pem and PREFIX.key. The size follows the names'
# number and length.
# Usage: many_names.sh PREFIX COUNT FORMAT
set -euo pipefail
{
  printf '[req]\ndistinguished_name = dn\nx509_extensions = names\n[dn]\n[names]\nsubjectAltName = @alt\n[alt]\n'
  seq "$2" | awk -v f="$3" '{ printf "DNS.%d = " f "\n", $1, $1 }'
} >"$1.cnf"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=many-names \
  -config "$1.cnf" -keyout "$1.key" -out "$1.pem" 2>/dev/null
