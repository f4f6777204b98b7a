#!/usr/bin/env node
// Sample Tovrin Host sidecar, for demos and tests: a small Node.js program
// that meets what the shell relies on. It is not the real service.
//
//   node hostRuntimeCli.js serve
//
// It listens on 127.0.0.1 at a port the system chooses and tells the shell
// where through control.json in its state directory:
//   {"port": N, "bindAddress": "127.0.0.1", "token": "<random hex>"}
// and names itself in runtime.lock.owner ("pid=" and "image=" lines) beside
// it. It removes both files when it ends cleanly, while they still name it.
//   GET  /          a small page: that it runs, its release, state directory, uptime
//   GET  /status    {"gitSha": ...} behind "Authorization: Bearer <token>"
//   POST /shutdown  behind the same check: answers, then exits with code 0
'use strict';

const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');

const startedAt = Date.now();

function stateDirectory() {
  if (process.env.TOVRIN_HOST_STATE_DIR) return process.env.TOVRIN_HOST_STATE_DIR;
  const local = process.env.LOCALAPPDATA || path.join(os.homedir(), 'AppData', 'Local');
  return path.join(local, 'TovrinHost');
}

function installDirectory() {
  // The shell passes its install directory; otherwise the script lies in
  // <install>\runtime\dist.
  return process.env.TOVRIN_HOST_BUNDLE_PATH || path.resolve(__dirname, '..', '..');
}

function readRelease(installDir) {
  try {
    const text = fs.readFileSync(path.join(installDir, 'host-release.json'), 'utf8');
    const sha = JSON.parse(text).gitSha;
    return typeof sha === 'string' ? sha : null;
  } catch (err) {
    return null;
  }
}

// Writes a whole file under a temporary name first, so that the shell,
// which reads these files at any moment, never sees half of one.
function writeWhole(file, text) {
  const temp = `${file}.${process.pid}.tmp`;
  fs.writeFileSync(temp, text);
  fs.renameSync(temp, file);
}

function escapeHtml(text) {
  return String(text).replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);
}

function formatUptime(ms) {
  const s = Math.floor(ms / 1000);
  const h = Math.floor(s / 3600);
  const m = Math.floor((s % 3600) / 60);
  return h > 0 ? `${h} h ${m} min ${s % 60} s` : m > 0 ? `${m} min ${s % 60} s` : `${s} s`;
}

function page(info) {
  return `<!doctype html>
<html lang="en">
<head><meta charset="utf-8"><title>Tovrin Host</title>
<style>
 body { font-family: "Segoe UI", system-ui, sans-serif; margin: 3em auto; max-width: 36em; color: #1b1b1b; }
 h1 { font-weight: 600; font-size: 1.6em; }
 dt { font-weight: 600; margin-top: .8em; }
 dd { margin: .2em 0 0 0; font-family: Consolas, monospace; }
 .ok { color: #107c10; }
</style></head>
<body>
<h1>Tovrin Host <span class="ok">is running</span></h1>
<dl>
 <dt>Release</dt><dd>${escapeHtml(info.release || 'unknown')}</dd>
 <dt>Requested release</dt><dd>${escapeHtml(info.requested || '-')}</dd>
 <dt>Channel</dt><dd>${escapeHtml(info.channel)}</dd>
 <dt>State directory</dt><dd>${escapeHtml(info.stateDir)}</dd>
 <dt>Uptime</dt><dd>${escapeHtml(formatUptime(Date.now() - startedAt))}</dd>
 <dt>Process</dt><dd>${process.pid} (Node.js ${escapeHtml(process.version)})</dd>
</dl>
</body></html>
`;
}

function bearerOk(req, token) {
  const header = req.headers.authorization || '';
  const expected = `Bearer ${token}`;
  const a = Buffer.from(header);
  const b = Buffer.from(expected);
  return a.length === b.length && crypto.timingSafeEqual(a, b);
}

function send(res, code, type, body) {
  res.writeHead(code, {
    'Content-Type': type,
    'Content-Length': Buffer.byteLength(body),
    'Cache-Control': 'no-store',
    Connection: 'close',
  });
  res.end(body);
}

function serve() {
  const stateDir = stateDirectory();
  const installDir = installDirectory();
  const release = readRelease(installDir);
  const channel = process.env.TOVRIN_HOST_CHANNEL || 'production';
  const token = crypto.randomBytes(24).toString('hex');
  fs.mkdirSync(stateDir, { recursive: true });
  const controlFile = path.join(stateDir, 'control.json');
  const lockFile = path.join(stateDir, 'runtime.lock.owner');

  const server = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://127.0.0.1');
    if (req.method === 'GET' && url.pathname === '/') {
      const requested = url.searchParams.get('release');
      send(res, 200, 'text/html; charset=utf-8', page({ release, requested, channel, stateDir }));
    } else if (req.method === 'GET' && url.pathname === '/status') {
      if (!bearerOk(req, token)) return send(res, 401, 'application/json', '{"error":"unauthorized"}');
      send(res, 200, 'application/json',
        JSON.stringify({ gitSha: release, pid: process.pid, uptimeMs: Date.now() - startedAt }));
    } else if (req.method === 'POST' && url.pathname === '/shutdown') {
      if (!bearerOk(req, token)) return send(res, 401, 'application/json', '{"error":"unauthorized"}');
      send(res, 200, 'application/json', '{"stopping":true}');
      shutdown(0);
    } else {
      send(res, 404, 'application/json', '{"error":"not found"}');
    }
  });

  // The shell reads these files while it waits for this process to end, and
  // for that moment Windows refuses to delete them (EBUSY or EPERM): retry.
  function unlinkRetrying(file) {
    for (let attempt = 0; attempt < 50; attempt++) {
      try {
        fs.unlinkSync(file);
        return;
      } catch (err) {
        if (err.code !== 'EBUSY' && err.code !== 'EPERM') return;
        Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 10);
      }
    }
  }

  // Leaves the state files only when they still name this process.
  function removeOwnFiles() {
    try {
      if (fs.readFileSync(lockFile, 'utf8').includes(`pid=${process.pid}\r\n`)) unlinkRetrying(lockFile);
    } catch (err) { /* already gone */ }
    try {
      if (JSON.parse(fs.readFileSync(controlFile, 'utf8')).token === token) unlinkRetrying(controlFile);
    } catch (err) { /* already gone or replaced */ }
  }

  function shutdown(code) {
    server.close();
    removeOwnFiles();
    setTimeout(() => process.exit(code), 50);
  }
  // Any other clean end (an uncaught error included) leaves no state files
  // behind either: a lock file of a process that is gone would later name
  // a pid that another program may have taken.
  process.on('exit', removeOwnFiles);

  server.listen(0, '127.0.0.1', () => {
    const port = server.address().port;
    writeWhole(lockFile, `pid=${process.pid}\r\nimage=${process.execPath}\r\n`);
    writeWhole(controlFile, JSON.stringify({ port, bindAddress: '127.0.0.1', token }, null, 2) + '\n');
    console.log(`Tovrin Host sample sidecar on http://127.0.0.1:${port}/ (release ${release || 'unknown'})`);
  });
  process.on('SIGINT', () => shutdown(0));
  process.on('SIGTERM', () => shutdown(0));
}

if (process.argv[2] === 'serve') {
  serve();
} else {
  console.error('usage: hostRuntimeCli.js serve');
  process.exit(2);
}
