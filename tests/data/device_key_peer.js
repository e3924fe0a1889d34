// The independent side of the device key tests: Node's own crypto (none of
// the agent's code).
//   node device_key_peer.js verify ENROLMENT_BODY JWS < payload
//       checks JWS (compact, detached payload) against the key of an
//       enrolment body; prints "ok" or "bad: REASON"
//   node device_key_peer.js sign DEVICE_ID < payload
//       makes a P-256 key and prints a JSON object: enrolment (a body for
//       this device), enrolment_signature and signature (of the payload)
'use strict';
const crypto = require('crypto');

const b64u = (buffer) => Buffer.from(buffer).toString('base64url');

// RFC 7638: the required members in lexicographic order, no white space.
function thumbprint(publicKey) {
  const jwk = publicKey.export({ format: 'jwk' });
  const canonical = `{"crv":"${jwk.crv}","kty":"${jwk.kty}","x":"${jwk.x}","y":"${jwk.y}"}`;
  return b64u(crypto.createHash('sha256').update(canonical).digest());
}

function detached(privateKey, kid, payload) {
  const header = b64u(JSON.stringify({ alg: 'ES256', kid }));
  const signature = crypto.sign('sha256', Buffer.from(`${header}.${b64u(payload)}`),
                                { key: privateKey, dsaEncoding: 'ieee-p1363' });
  return `${header}..${b64u(signature)}`;
}

const payload = require('fs').readFileSync(0);
const [command, first, second] = process.argv.slice(2);
if (command === 'verify') {
  const enrolment = JSON.parse(first);
  const key = crypto.createPublicKey(
      { key: Buffer.from(enrolment.public_key, 'base64'), format: 'der', type: 'spki' });
  const [header, body, signature] = second.split('.');
  const protectedHeader = JSON.parse(Buffer.from(header, 'base64url'));
  let reason = '';
  if (enrolment.algorithm !== 'ES256') reason = 'algorithm';
  else if (key.asymmetricKeyDetails.namedCurve !== 'prime256v1') reason = 'curve';
  else if (protectedHeader.alg !== 'ES256') reason = 'alg';
  else if (protectedHeader.kid !== thumbprint(key)) reason = 'kid';
  else if (body !== '') reason = 'payload not detached';
  else if (!crypto.verify('sha256', Buffer.from(`${header}.${b64u(payload)}`),
                          { key, dsaEncoding: 'ieee-p1363' }, Buffer.from(signature, 'base64url'))) {
    reason = 'signature';
  }
  process.stdout.write(reason === '' ? 'ok' : `bad: ${reason}`);
} else if (command === 'sign') {
  const { publicKey, privateKey } = crypto.generateKeyPairSync('ec', { namedCurve: 'P-256' });
  const kid = thumbprint(publicKey);
  const spki = publicKey.export({ type: 'spki', format: 'der' }).toString('base64');
  const enrolment = `{"device_id": "${first}", "algorithm": "ES256", "public_key": "${spki}",` +
                    ` "storage": "file"}`;
  process.stdout.write(JSON.stringify({
    kid,
    enrolment,
    enrolment_signature: detached(privateKey, kid, enrolment),
    signature: detached(privateKey, kid, payload),
  }));
}
