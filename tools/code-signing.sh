# Code signing with osslsigncode, shared by the scripts that sign the test
# fixtures and the package. Sourced:
#   . tools/code-signing.sh
#
#   code_signer PKI NAME CA CN [EXTFILE [SUBJECT]]
#       makes PKI/NAME.key, NAME.pem and NAME-chain.pem (leaf and CA): a
#       certificate for CN below SUBJECT (default /O=kestrelGATE Test), signed
#       by PKI/CA.pem, with the extensions of EXTFILE (default PKI/codesign.ext,
#       written here: the code-signing usage); kept when it exists
#   sign_file CHAIN KEY IN OUT [TIMESTAMP_URL]
#       Authenticode SHA-256 signature of IN (an executable or an MSI package)
#       into OUT, with the certificates of CHAIN (leaf first) and KEY

code_signer() {
    local pki=$1 name=$2 ca=$3 cn=$4 ext=${5:-$1/codesign.ext} before=${6:-/O=kestrelGATE Test}
    [ -f "$pki/codesign.ext" ] || cat >"$pki/codesign.ext" <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
EXT
    [ -f "$pki/$name.key" ] && return 0
    openssl req -newkey rsa:2048 -nodes -sha256 -keyout "$pki/$name.key" -out "$pki/$name.csr" \
        -subj "$before/CN=$cn" 2>/dev/null
    openssl x509 -req -in "$pki/$name.csr" -CA "$pki/$ca.pem" -CAkey "$pki/$ca.key" -CAcreateserial \
        -days 30 -sha256 -extfile "$ext" -out "$pki/$name.pem" 2>/dev/null
    cat "$pki/$name.pem" "$pki/$ca.pem" >"$pki/$name-chain.pem"
    rm -f "$pki/$name.csr"
}

sign_file() {
    local chain=$1 key=$2 in=$3 out=$4 timestamp=${5:-}
    local stamp=()
    [ -n "$timestamp" ] && stamp=(-ts "$timestamp")
    rm -f "$out"
    osslsigncode sign -certs "$chain" -key "$key" -h sha256 -n "kestrelGATE" "${stamp[@]}" \
        -in "$in" -out "$out" >/dev/null
}
