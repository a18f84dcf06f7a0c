#!/usr/bin/env bash
# Makes the certificates the TLS tests and the benchmark use, fresh at each run
# (no key is ever kept in the tree):
#
#   make_tls_certs.sh DIR
#
#   ca.crt ca.key             the site's CA ("Test Site CA")
#   server.crt server.key     the device server: device-server.test and 127.0.0.1, from the CA
#   expired.crt               the same server and key, valid only in January 2024
#   future.crt                the same server and key, valid only from 2099 on
#   client.crt client.key     the technician's client certificate (CN=technician), from the CA
#   other-ca.crt              another CA, which signed nothing the server holds
#   stranger.crt stranger.key a client certificate CN=technician from that other CA
#   auth/technician/allowed_certs/   ser2net's authdir for clientauth: the site CA, hashed
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
# request KEY CN [SAN]: a signing request on stdout
request() {
    local extra=()
    [ -n "${3:-}" ] && extra=(-addext "subjectAltName=$3")
    openssl req -new -key "$1" -subj "/CN=$2" "${extra[@]}"
}
# sign CSR CA OUT: a certificate for 30 days, its alternative names kept
sign() {
    openssl x509 -req -in "$1" -CA "$2.crt" -CAkey "$2.key" -CAcreateserial -days 30 -copy_extensions copy \
        -out "$3" 2>/dev/null
}
for ca in ca other-ca; do
    key "$ca.key"
    openssl req -x509 -new -key "$ca.key" -days 30 -subj "/CN=$([ "$ca" = ca ] && echo "Test Site CA" || echo "Other CA")" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" -out "$ca.crt"
done
key server.key
request server.key device-server.test "DNS:device-server.test,IP:127.0.0.1" >server.csr
sign server.csr ca server.crt
# Expired: openssl x509 cannot sign for the past, openssl ca can.
mkdir -p cadb
: >cadb/index.txt
echo 01 >cadb/serial
cat >ca.cnf <<'CNF'
[ca]
default_ca = site
[site]
database = cadb/index.txt
new_certs_dir = cadb
serial = cadb/serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
CNF
openssl ca -batch -config ca.cnf -cert ca.crt -keyfile ca.key -in server.csr -out expired.crt \
    -startdate 20240101000000Z -enddate 20240201000000Z -notext 2>/dev/null
openssl ca -batch -config ca.cnf -cert ca.crt -keyfile ca.key -in server.csr -out future.crt \
    -startdate 20990101000000Z -enddate 21000101000000Z -notext 2>/dev/null
key client.key
request client.key technician >client.csr
sign client.csr ca client.crt
key stranger.key
request stranger.key technician >stranger.csr
sign stranger.csr other-ca stranger.crt
mkdir -p auth/technician/allowed_certs
cp ca.crt auth/technician/allowed_certs/
openssl rehash auth/technician/allowed_certs
chmod 600 ./*.key
