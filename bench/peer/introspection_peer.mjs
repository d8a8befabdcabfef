// The peer a user might run instead: an OAuth 2.0 authorization server with one confidential
// client, serving token introspection on 127.0.0.1. Prints one line, "READY <access token>", once
// it listens; the token comes from one client_credentials grant made over HTTP.
//
//   node introspection_peer.mjs MODULE_DIR PORT CLIENT_ID CLIENT_SECRET
import { createRequire } from 'node:module';
import path from 'node:path';

const [moduleDir, port, clientId, clientSecret] = process.argv.slice(2);
const require = createRequire(path.join(moduleDir, 'package.json'));
const { default: Provider } = await import(require.resolve('oidc-provider'));

const issuer = `http://127.0.0.1:${port}`;
const provider = new Provider(issuer, {
  clients: [{
    client_id: clientId,
    client_secret: clientSecret,
    grant_types: ['client_credentials'],
    redirect_uris: [],
    response_types: [],
    token_endpoint_auth_method: 'client_secret_basic',
    introspection_endpoint_auth_method: 'client_secret_basic',
  }],
  features: {
    clientCredentials: { enabled: true },
    introspection: { enabled: true },
    devInteractions: { enabled: false },
  },
  cookies: { keys: ['bench-cookie-key'] },
  ttl: { ClientCredentials: 3600 },
});
// Development-mode warnings would go to stderr on every call otherwise.
provider.on('server_error', (ctx, error) => console.error('peer server_error', error));

const server = provider.listen(Number(port), '127.0.0.1');
await new Promise((resolve) => server.once('listening', resolve));

const basic = 'Basic ' + Buffer.from(`${clientId}:${clientSecret}`).toString('base64');
const answer = await fetch(`${issuer}/token`, {
  method: 'POST',
  headers: { authorization: basic, 'content-type': 'application/x-www-form-urlencoded' },
  body: 'grant_type=client_credentials',
});
const grant = await answer.json();
if (!grant.access_token) {
  console.error('peer: no access token', JSON.stringify(grant));
  process.exit(1);
}
console.log(`READY ${grant.access_token}`);
