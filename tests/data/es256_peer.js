// The independent signer and verifier of the update signature tests: Node's
// own crypto (OpenSSL inside, but none of the agent's code).
//   node es256_peer.js sign    < manifest   prints a JSON object: pub, kid,
//                                           sig (a signature file), other_pub
//   node es256_peer.js verify PUB_PEM SIG < manifest   prints "ok" or "bad"
'use strict';
const crypto = require('crypto');

const b64u = (buffer) => Buffer.from(buffer).toString('base64url');

// RFC 7638: the required members in lexicographic order, no white space.
function thumbprint(publicKey) {
  const jwk = publicKey.export({ format: 'jwk' });
  const canonical = `{"crv":"${jwk.crv}","kty":"${jwk.kty}","x":"${jwk.x}","y":"${jwk.y}"}`;
  return b64u(crypto.createHash('sha256').update(canonical).digest());
}

function signatureFile(privateKey, header, manifest) {
  const encodedHeader = b64u(JSON.stringify(header));
  const input = `${encodedHeader}.${b64u(manifest)}`;
  const signature = crypto.sign('sha256', Buffer.from(input),
                                { key: privateKey, dsaEncoding: 'ieee-p1363' });
  return `${encodedHeader}..${b64u(signature)}`;
}

const manifest = require('fs').readFileSync(0);
const [command, pub, sig] = process.argv.slice(2);
if (command === 'sign') {
  const { publicKey, privateKey } = crypto.generateKeyPairSync('ec', { namedCurve: 'P-256' });
  const other = crypto.generateKeyPairSync('ec', { namedCurve: 'P-256' });
  const kid = thumbprint(publicKey);
  process.stdout.write(JSON.stringify({
    pub: publicKey.export({ type: 'spki', format: 'pem' }),
    kid,
    sig: signatureFile(privateKey, { alg: 'ES256', kid }, manifest),
    es384: signatureFile(privateKey, { alg: 'ES384', kid }, manifest),
    crit: signatureFile(privateKey, { alg: 'ES256', kid, crit: ['exp'], exp: 1 }, manifest),
    typ: b64u(JSON.stringify({ alg: 'ES256', kid, typ: 'JOSE' })),
    other_pub: other.publicKey.export({ type: 'spki', format: 'pem' }),
  }));
} else if (command === 'verify') {
  const [header, payload, signature] = sig.split('.');
  const input = `${header}.${b64u(manifest)}`;
  const good = payload === '' && crypto.verify('sha256', Buffer.from(input),
      { key: crypto.createPublicKey(pub), dsaEncoding: 'ieee-p1363' },
      Buffer.from(signature, 'base64url'));
  process.stdout.write(good ? 'ok' : 'bad');
}
