// tests/web/browsers.js: what the browser tests and the page's benchmark share: how each
// browser is started, the page served over http, and the browser's memory measured from
// outside it.
'use strict';
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const net = require('node:net');
const { execFileSync, spawn } = require('node:child_process');

const web = path.resolve(__dirname, '..', '..', 'web');
const pageFiles = ['index.html', 'engine.js', 'parcelon.js', 'style.css'];
const types = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.css': 'text/css' };

// puppeteer's launch options for each browser: Chromium keeps its profile in profile,
// Firefox saves its downloads into downloads without asking.
const launchOptions = {
  chromium: ({ profile, env }) => ({
    env: { ...process.env, ...env }, executablePath: process.env.PARCELON_CHROMIUM || '/usr/bin/chromium', headless: true, userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  }),
  firefox: ({ downloads, env }) => ({
    env: { ...process.env, ...env }, browser: 'firefox', executablePath: process.env.PARCELON_FIREFOX || '/usr/bin/firefox-esr', headless: true,
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

// WebKit, through WebKitGTK's WebDriver (WebKitWebDriver) and the small browser of
// webkit-browser.py, on a virtual display of its own. What the tests ask of a page is
// given in puppeteer's words over WebDriver; every call has a time limit, and what was
// started is ended by its process id.
const webkitBrowser = path.join(__dirname, 'webkit-browser.py');
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const keys = { Tab: '\uE004', Enter: '\uE007', Escape: '\uE00C' };

// Why WebKit cannot run here, or null.
function webkitMissing() {
  for (const [file, what] of [['/usr/bin/WebKitWebDriver', 'WebKitWebDriver (webkit2gtk-driver)'], ['/usr/bin/Xvfb', 'Xvfb (xvfb)'],
    ['/usr/lib/python3/dist-packages/gi', "python3's GObject bindings (python3-gi)"]])
    if (!fs.existsSync(file)) return `${what} is not installed`;
  try {
    execFileSync('/usr/bin/python3', ['-c', "import gi; gi.require_version('WebKit2', '4.1'); gi.require_version('Gtk', '3.0')"], { stdio: 'pipe' });
  } catch (e) {
    return `WebKitGTK's bindings do not load (gir1.2-webkit2-4.1, gir1.2-gtk-3.0): ${e.stderr.toString().trim().split('\n').pop()}`;
  }
  return null;
}

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    }).on('error', reject);
  });
}

// The process ids below pid, deepest first.
function descendants(pid) {
  const rows = execFileSync('ps', ['-e', '-o', 'pid=,ppid=']).toString().trim().split('\n').map((l) => l.trim().split(/\s+/).map(Number));
  const out = [];
  const walk = (p) => rows.filter(([, parent]) => parent === p).forEach(([c]) => { walk(c); out.push(c); });
  walk(pid);
  return out;
}
function end(pids) {
  for (const p of pids) try { process.kill(p, 'SIGKILL'); } catch (e) { /* gone already */ }
}

async function launchWebKit({ profile, downloads, env = {} }) {
  const started = [];
  const stop = () => end(started.flatMap((c) => [...descendants(c.pid), c.pid]));
  try {
    // A display of its own: Xvfb names the free one it took on fd 3.
    const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1600x1200x24', '-nolisten', 'tcp'], { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
    started.push(xvfb);
    const display = await new Promise((resolve, reject) => {
      let said = '';
      const timer = setTimeout(() => reject(new Error('Xvfb named no display within 10 s')), 10000);
      xvfb.stdio[3].on('data', (d) => {
        said += d;
        if (said.includes('\n')) clearTimeout(timer), resolve(':' + said.trim());
      });
      xvfb.on('exit', (code) => reject(new Error(`Xvfb ended with ${code}`)));
    });
    const port = await freePort();
    const driver = spawn('/usr/bin/WebKitWebDriver', [`--port=${port}`], { stdio: 'ignore', env: { ...process.env, ...env, DISPLAY: display } });
    started.push(driver);
    const base = `http://127.0.0.1:${port}`;
    const call = async (method, url, body, ms = 30000) => {
      const res = await fetch(base + url, { method, headers: { 'Content-Type': 'application/json' },
        body: body === undefined ? undefined : JSON.stringify(body), signal: AbortSignal.timeout(ms) });
      const json = await res.json();
      if (!res.ok) throw new Error(`WebDriver ${method} ${url}: ${(json.value && json.value.message) || res.status}`);
      return json.value;
    };
    for (let i = 0; ; i++) {
      try {
        if ((await call('GET', '/status', undefined, 1000)).ready) break;
      } catch (e) {
        if (i >= 100) throw new Error(`WebKitWebDriver does not answer on port ${port}: ${e.message}`);
      }
      await sleep(100);
    }
    const session = await call('POST', '/session', { capabilities: { alwaysMatch: { 'webkitgtk:browserOptions': {
      binary: webkitBrowser, args: ['--automation', `--profile=${profile}`, `--downloads=${downloads}`] } } } });
    const at = `/session/${session.sessionId}`;
    await call('POST', at + '/timeouts', { script: 120000, pageLoad: 30000 });
    return new WebKitBrowser(call, at, driver.pid, stop);
  } catch (e) {
    stop();
    throw e;
  }
}

class WebKitBrowser {
  constructor(call, at, pid, stop) {
    Object.assign(this, { call: (m, u, b, ms) => call(m, at + u, b, ms), pid, stop, at, raw: call });
  }
  process() {
    return { pid: this.pid };
  }
  // One page at a time, in the session's window.
  async newPage() {
    return new WebKitPage(this);
  }
  async close() {
    await this.raw('DELETE', this.at, undefined, 10000).catch(() => {});
    this.stop();
  }
}

class WebKitPage {
  constructor(browser) {
    this.call = browser.call;
    this.seen = [];
    this.keyboard = { press: (key) => this.press(key) };
  }
  on() {
    // Requests are not seen through WebDriver (the server counts its own); errors are
    // read from the page (errors()).
  }
  async evaluateOnNewDocument() {
    throw new Error('WebKit runs no script before the page');
  }
  async setViewport({ width, height }) {
    // The browser has no toolbar: its window is the viewport.
    await this.call('POST', '/window/rect', { width, height });
  }
  async run(source) {
    const script = 'const done = arguments[arguments.length - 1];' +
      `Promise.resolve().then(() => ${source}).then((v) => done({ value: v === undefined ? null : v }), (e) => done({ error: String(e && e.stack || e) }));`;
    const r = await this.call('POST', '/execute/async', { script, args: [] }, 150000);
    if (r.error) throw new Error(r.error);
    return r.value;
  }
  evaluate(fn, ...args) {
    return this.run(`(${fn}).apply(null, ${JSON.stringify(args)})`);
  }
  $eval(selector, fn) {
    return this.run(`(${fn})(document.querySelector(${JSON.stringify(selector)}))`);
  }
  $$eval(selector, fn) {
    return this.run(`(${fn})([...document.querySelectorAll(${JSON.stringify(selector)})])`);
  }
  async waitForFunction(fn, { timeout = 30000 } = {}, ...args) {
    for (const until = Date.now() + timeout; ;) {
      if (await this.evaluate(fn, ...args)) return;
      if (Date.now() > until) throw new Error(`waited ${timeout} ms for ${fn}`);
      await sleep(50);
    }
  }
  waitForSelector(selector, options) {
    return this.waitForFunction(`() => document.querySelector(${JSON.stringify(selector)}) !== null`, options);
  }
  async find(selector) {
    const found = await this.call('POST', '/element', { using: 'css selector', value: selector });
    return Object.values(found)[0];
  }
  async $(selector) {
    const id = await this.find(selector);
    return { uploadFile: (...files) => this.call('POST', `/element/${id}/value`, { text: files.join('\n') }) };
  }
  async click(selector) {
    await this.call('POST', `/element/${await this.find(selector)}/click`, {});
  }
  focus(selector) {
    return this.run(`document.querySelector(${JSON.stringify(selector)}).focus()`);
  }
  async press(key) {
    const value = keys[key] || key;
    await this.call('POST', '/actions', { actions: [{ type: 'key', id: 'keyboard', actions: [{ type: 'keyDown', value }, { type: 'keyUp', value }] }] });
  }
  async screenshot({ path: file }) {
    fs.writeFileSync(file, Buffer.from(await this.call('GET', '/screenshot'), 'base64'));
  }
  // What the page reported as errors, across its loads.
  async errors() {
    this.seen.push(...((await this.run('window.parcelonErrors || []').catch(() => [])) || []));
    const all = this.seen;
    this.seen = [];
    return all;
  }
  async goto(url) {
    this.seen.push(...await this.errors());
    await this.call('POST', '/url', { url });
  }
  async reload() {
    this.seen.push(...await this.errors());
    await this.call('POST', '/refresh', {});
  }
  async close() {
    await this.call('POST', '/url', { url: 'about:blank' });
  }
}

module.exports = { web, pageFiles, launchOptions, serve, treeMemory, launchWebKit, webkitMissing };
