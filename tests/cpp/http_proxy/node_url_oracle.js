// Reads one JSON string per line (a URL to parse) and writes one JSON object
// per line: {"ok":false} or {"ok":true,"scheme":...,"host":...,"port":...}
// as Node's WHATWG URL parser sees it. Used by the differential test.
const readline = require('readline');
const rl = readline.createInterface({ input: process.stdin, crlfDelay: Infinity });
const out = [];
rl.on('line', (line) => {
  const input = JSON.parse(line);
  let result;
  try {
    const u = new URL(input);
    result = { ok: true, scheme: u.protocol.replace(/:$/, ''), host: u.hostname, port: u.port };
  } catch (e) {
    result = { ok: false };
  }
  out.push(JSON.stringify(result));
});
rl.on('close', () => { process.stdout.write(out.join('\n') + (out.length ? '\n' : '')); });
