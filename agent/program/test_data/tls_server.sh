#!/bin/bash
# An HTTPS server with a certificate of its own making (self-signed, made at
# test time), for the feedback post's tests:
#   tls_server.sh DIR PORT
# listens on 127.0.0.1:PORT for two connections (at most 60 s), writes
# DIR/ready once it listens and DIR/done when it has ended.
set -u
dir=$1 port=$2
mkdir -p "$dir"
rm -f "$dir/ready" "$dir/done"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/key.pem" -out "$dir/cert.pem" \
    -subj /CN=127.0.0.1 -days 1 >"$dir/openssl.log" 2>&1
timeout 60 openssl s_server -accept "127.0.0.1:$port" -cert "$dir/cert.pem" -key "$dir/key.pem" \
    -naccept 2 -quiet </dev/null >>"$dir/openssl.log" 2>&1 &
server=$!
for _ in $(seq 100); do
    ss -ltnH "sport = :$port" 2>/dev/null | grep -q . && break
    sleep 0.05
done
touch "$dir/ready"
wait "$server"
touch "$dir/done"
