// tests/web/browser.test.js: the restore page in headless Chromium, served from
// 127.0.0.1 by a server of this test and opened from file://: a three-piece set chosen
// through the file input is restored by the streaming path (a file of the origin-private
// file system stands in for the save dialog, which headless Chromium cannot show) and by
// the download path, byte for byte; a damaged piece brings its question; no request
// leaves the page's own three files. Screenshots go to PARCELON_SHOTS (or a temp folder).
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const puppeteer = require('puppeteer-core');
const { tempDir, makeSet } = require('./sets.js');

const web = path.resolve(__dirname, '..', '..', 'web');
const pageFiles = ['index.html', 'parcelon.js', 'style.css'];
const types = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.css': 'text/css' };
const chromium = process.env.PARCELON_CHROMIUM || '/usr/bin/chromium';
const sha256 = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');

// Stands in for the save dialog: the origin-private file system where the page may use
// it, else an in-memory writable (file://). The second write waits for window.release()
// when the test has set window.hold, so that a screenshot can catch a restore midway.
function standIn() {
  window.showSaveFilePicker = async ({ suggestedName }) => {
    window.savedName = suggestedName;
    let handle;
    try {
      handle = await (await navigator.storage.getDirectory()).getFileHandle(suggestedName, { create: true });
    } catch (e) {
      window.memory = [];
      handle = { createWritable: async () => ({ write: async (d) => window.memory.push(d.slice()), close: async () => {} }) };
    }
    const create = handle.createWritable.bind(handle);
    handle.createWritable = async () => {
      const writable = await create();
      const write = writable.write.bind(writable);
      let writes = 0;
      writable.write = async (d) => {
        if (++writes === 2 && window.hold) {
          window.held = true;
          await window.hold;
        }
        return write(d);
      };
      return writable;
    };
    return handle;
  };
}

async function savedHash(page) {
  return page.evaluate(async () => {
    let blob;
    if (window.memory) blob = new Blob(window.memory);
    else blob = await (await (await navigator.storage.getDirectory()).getFileHandle(window.savedName)).getFile();
    const digest = await crypto.subtle.digest('SHA-256', await blob.arrayBuffer());
    return [...new Uint8Array(digest)].map((b) => b.toString(16).padStart(2, '0')).join('');
  });
}

async function waitForFile(file, size) {
  for (let i = 0; i < 200; i++) {
    if (fs.existsSync(file) && fs.statSync(file).size === size) return fs.readFileSync(file);
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`no download ${file}`);
}

test('the page restores and checks sets in headless Chromium', { timeout: 180000 }, async () => {
  const dir = tempDir();
  const shots = process.env.PARCELON_SHOTS || path.join(dir, 'shots');
  fs.mkdirSync(shots, { recursive: true });
  const sound = makeSet(path.join(dir, 'sound'), {
    name: '資料.txt', size: 3000000, args: ['--piece-size', '1100000', '--time', '2024-03-15T13:45:30'],
  });
  const bad = makeSet(path.join(dir, 'bad'), { args: ['--data-counts', '2000,1500,1500', '--bad-crc', '2'] });
  const soundFiles = ['sample.exe', 'sample.d02', 'sample.d03'].map((n) => path.join(sound.out, n));
  assert.deepStrictEqual(fs.readdirSync(sound.out).sort(), ['sample.d02', 'sample.d03', 'sample.exe']);

  const served = [];
  const server = http.createServer((req, res) => {
    served.push(req.url);
    const name = req.url.replace(/^\//, '').split('?')[0];
    if (!pageFiles.includes(name)) return res.writeHead(404).end();
    res.writeHead(200, { 'Content-Type': types[path.extname(name)] });
    res.end(fs.readFileSync(path.join(web, name)));
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  const origin = `http://127.0.0.1:${server.address().port}/`;

  const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    userDataDir: path.join(dir, 'profile'),
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  try {
    for (const base of [origin, 'file://' + web + '/']) {
      const where = base.startsWith('file:') ? 'file' : 'http';
      const page = await browser.newPage();
      await page.setViewport({ width: 900, height: 720 });
      const requests = [];
      const errors = [];
      page.on('request', (r) => requests.push(r.url()));
      page.on('pageerror', (e) => { console.log('pageerror', String(e)); errors.push(String(e)); });
      page.on('console', (m) => { console.log('console', m.text()); if (m.type() === 'error') errors.push(m.text()); });
      await page.evaluateOnNewDocument(standIn);
      const downloads = path.join(dir, 'downloads-' + where);
      const cdp = await page.createCDPSession();
      await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
      await page.goto(base + 'index.html');

      // Choose the set but its last piece; the page shows the stored name, the size and
      // the pieces it expects.
      await (await page.$('#files')).uploadFile(...soundFiles.slice(0, 2));
      await page.waitForFunction(() => document.querySelectorAll('#pieces li').length === 3);
      assert.strictEqual(await page.$eval('#info', (e) => e.textContent), '分割元ファイル 資料.txt\nサイズ  3,000,000Bytes');
      assert.deepStrictEqual(await page.$$eval('#pieces li', (l) => l.map((e) => e.className)), ['present', 'present', 'missing']);
      await page.screenshot({ path: path.join(shots, `${where}-1-before.png`) });

      // Streaming path, caught midway for a screenshot.
      await page.evaluate(() => {
        window.hold = new Promise((r) => (window.release = r));
      });
      await page.click('#restore');
      await page.waitForFunction(() => window.held === true);
      await page.screenshot({ path: path.join(shots, `${where}-2-during.png`) });
      await page.evaluate(() => window.release());
      // The missing piece is asked for and chosen from the question.
      await page.waitForSelector('#question:not([hidden])');
      assert.strictEqual(await page.$eval('#question-text', (e) => e.textContent), '次に sample.d03 を読み込みます。');
      await page.screenshot({ path: path.join(shots, `${where}-3-next-file.png`) });
      await (await page.$('#question-buttons input[type=file]')).uploadFile(soundFiles[2]);
      await page.waitForFunction(() => [...document.querySelectorAll('#pieces li')].every((e) => e.className === 'present'));
      await page.click('#question-buttons [data-answer="ok"]');
      await page.waitForFunction(() => document.querySelector('#status').textContent.startsWith('復元が終了しました。'));
      assert.match(await page.$eval('#status', (e) => e.textContent), /更新日時 2024\/03\/15 13:45:30 \(UTC\)/);
      await page.screenshot({ path: path.join(shots, `${where}-4-after.png`) });
      assert.strictEqual(await page.evaluate(() => window.savedName), '資料.txt');
      assert.strictEqual(await savedHash(page), sha256(sound.data), `${where}: streamed file`);

      // Download path: the browser without a save dialog.
      await page.evaluate(() => (window.showSaveFilePicker = undefined));
      await page.click('#restore');
      const downloaded = await waitForFile(path.join(downloads, '資料.txt'), sound.data.length);
      assert.strictEqual(sha256(downloaded), sha256(sound.data), `${where}: downloaded file`);

      // A damaged intermediate piece: its question, refused; then the check's verdict.
      await page.evaluate(standIn);
      await (await page.$('#files')).uploadFile(...fs.readdirSync(bad.out).map((n) => path.join(bad.out, n)));
      await page.waitForFunction(() => document.querySelector('#info').textContent.includes('5,000Bytes'));
      await page.click('#restore');
      await page.waitForSelector('#question:not([hidden])');
      assert.strictEqual(await page.$eval('#question-caption', (e) => e.textContent), 'Parcelon 復元確認');
      assert.strictEqual(await page.$eval('#question-text', (e) => e.textContent),
        'ファイルの内容が正しくありません。強行しますか？\n[sample.d02]');
      await page.screenshot({ path: path.join(shots, `${where}-5-question.png`) });
      await page.click('#question-buttons [data-answer="no"]');
      await page.waitForFunction(() => document.querySelector('#status').textContent === '復元を中止しました。');
      await page.click('#check');
      await page.waitForFunction(() => document.querySelector('#report').textContent.includes('not sound'));
      assert.match(await page.$eval('#report', (e) => e.textContent), /not sound: sample\.d02 fails its check value \(5,000 of 5,000 bytes read\)$/);
      await page.screenshot({ path: path.join(shots, `${where}-6-check.png`) });

      assert.deepStrictEqual(errors, []);
      const own = requests.filter((u) => !u.startsWith('blob:') && !u.startsWith('data:'));
      assert.deepStrictEqual(own.map((u) => u.slice(base.length)).sort(), [...pageFiles].sort(), `${where}: requests`);
      await page.close();
    }
    assert.deepStrictEqual([...served].sort(), pageFiles.map((f) => '/' + f).sort(), 'requests the server saw');
    console.log(`screenshots: ${shots}`);
  } finally {
    await browser.close();
    server.close();
    if (!process.env.PARCELON_SHOTS) fs.rmSync(dir, { recursive: true, force: true });
  }
});
