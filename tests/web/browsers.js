// tests/web/browsers.js: what the browser tests and the page's benchmark share: how each
// browser is started, the page served over http, and the browser's memory measured from
// outside it.
'use strict';
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const { execFileSync } = require('node:child_process');

const web = path.resolve(__dirname, '..', '..', 'web');
const pageFiles = ['index.html', 'engine.js', 'parcelon.js', 'style.css'];
const types = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.css': 'text/css' };

// puppeteer's launch options for each browser: Chromium keeps its profile in profile,
// Firefox saves its downloads into downloads without asking.
const launchOptions = {
  chromium: ({ profile }) => ({
    executablePath: process.env.PARCELON_CHROMIUM || '/usr/bin/chromium', headless: true, userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  }),
  firefox: ({ downloads }) => ({
    browser: 'firefox', executablePath: process.env.PARCELON_FIREFOX || '/usr/bin/firefox-esr', headless: true,
    extraPrefsFirefox: { 'browser.download.dir': downloads, 'browser.download.folderList': 2, 'browser.download.useDownloadDir': true },
  }),
};

// The page's four files over http on a free port of 127.0.0.1; any other address is not
// found. served lists every address asked for.
function serve() {
  const served = [];
  const server = http.createServer((req, res) => {
    served.push(req.url);
    const name = req.url.replace(/^\//, '').split('?')[0];
    if (!pageFiles.includes(name)) return res.writeHead(404).end();
    res.writeHead(200, { 'Content-Type': types[path.extname(name)] });
    res.end(fs.readFileSync(path.join(web, name)));
  });
  return new Promise((r) => server.listen(0, '127.0.0.1', () => r({ server, served, origin: `http://127.0.0.1:${server.address().port}/` })));
}

// The memory of a process and its descendants, in bytes.
function treeMemory(pid) {
  const rows = execFileSync('ps', ['-e', '-o', 'pid=,ppid=,rss=']).toString().trim().split('\n')
    .map((l) => l.trim().split(/\s+/).map(Number));
  const tree = new Set([pid]);
  for (let grown = true; grown;) {
    grown = false;
    for (const [p, parent] of rows) if (tree.has(parent) && !tree.has(p)) grown = tree.add(p);
  }
  return rows.filter(([p]) => tree.has(p)).reduce((sum, [, , rss]) => sum + rss * 1024, 0);
}

module.exports = { web, pageFiles, launchOptions, serve, treeMemory };
