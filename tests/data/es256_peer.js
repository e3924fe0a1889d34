// The independent side of the signature tests (update manifests, device
// keys): Node's own crypto (OpenSSL inside, but none of the agent's code).
// Signatures are compact JWS with a detached payload, which comes on
// standard input.
//   node es256_peer.js sign [DEVICE_ID] < payload
//       makes a P-256 key and prints a JSON object: pub (its PEM), kid, sig
//       (of the payload), the same signed under other headers (es384, crit;
//       typ is such a header alone), other_pub (another key's PEM), and with
//       DEVICE_ID an enrolment body for the key and its enrolment_signature
//   node es256_peer.js verify KEY JWS < payload
//       checks JWS against KEY, a PEM public key or an enrolment body;
//       prints "ok" or "bad: REASON"
'use strict';
const crypto = require('crypto');

const b64u = (buffer) => Buffer.from(buffer).toString('base64url');

// RFC 7638: the required members in lexicographic order, no white space.
function thumbprint(publicKey) {
  const jwk = publicKey.export({ format: 'jwk' });
  const canonical = `{"crv":"${jwk.crv}","kty":"${jwk.kty}","x":"${jwk.x}","y":"${jwk.y}"}`;
  return b64u(crypto.createHash('sha256').update(canonical).digest());
}

function detached(privateKey, header, payload) {
  const encodedHeader = b64u(JSON.stringify(header));
  const signature = crypto.sign('sha256', Buffer.from(`${encodedHeader}.${b64u(payload)}`),
                                { key: privateKey, dsaEncoding: 'ieee-p1363' });
  return `${encodedHeader}..${b64u(signature)}`;
}

// The reason `jws` is not a signature of `payload` by `key`, or ''.
function refusal(key, jws, payload) {
  const [header, body, signature] = jws.split('.');
  const protectedHeader = JSON.parse(Buffer.from(header, 'base64url'));
  if (key.asymmetricKeyDetails.namedCurve !== 'prime256v1') return 'curve';
  if (protectedHeader.alg !== 'ES256') return 'alg';
  if (protectedHeader.kid !== thumbprint(key)) return 'kid';
  if (body !== '') return 'payload not detached';
  if (!crypto.verify('sha256', Buffer.from(`${header}.${b64u(payload)}`),
                     { key, dsaEncoding: 'ieee-p1363' }, Buffer.from(signature, 'base64url'))) {
    return 'signature';
  }
  return '';
}

const payload = require('fs').readFileSync(0);
const [command, first, second] = process.argv.slice(2);
if (command === 'sign') {
  const { publicKey, privateKey } = crypto.generateKeyPairSync('ec', { namedCurve: 'P-256' });
  const other = crypto.generateKeyPairSync('ec', { namedCurve: 'P-256' });
  const kid = thumbprint(publicKey);
  const out = {
    pub: publicKey.export({ type: 'spki', format: 'pem' }),
    kid,
    sig: detached(privateKey, { alg: 'ES256', kid }, payload),
    es384: detached(privateKey, { alg: 'ES384', kid }, payload),
    crit: detached(privateKey, { alg: 'ES256', kid, crit: ['exp'], exp: 1 }, payload),
    typ: b64u(JSON.stringify({ alg: 'ES256', kid, typ: 'JOSE' })),
    other_pub: other.publicKey.export({ type: 'spki', format: 'pem' }),
  };
  if (first !== undefined) {
    const spki = publicKey.export({ type: 'spki', format: 'der' }).toString('base64');
    out.enrolment = `{"device_id": "${first}", "algorithm": "ES256", "public_key": "${spki}",` +
                    ` "storage": "file"}`;
    out.enrolment_signature = detached(privateKey, { alg: 'ES256', kid }, out.enrolment);
  }
  process.stdout.write(JSON.stringify(out));
} else if (command === 'verify') {
  const enrolment = first.startsWith('-----BEGIN') ? null : JSON.parse(first);
  const key = enrolment === null
      ? crypto.createPublicKey(first)
      : crypto.createPublicKey(
          { key: Buffer.from(enrolment.public_key, 'base64'), format: 'der', type: 'spki' });
  const reason = enrolment !== null && enrolment.algorithm !== 'ES256'
      ? 'algorithm'
      : refusal(key, second, payload);
  process.stdout.write(reason === '' ? 'ok' : `bad: ${reason}`);
}
