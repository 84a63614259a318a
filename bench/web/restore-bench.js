// bench/web/restore-bench.js: prints the restore page's speed on a large set in headless
// Chromium (the check and the streaming restore into a file of the origin-private file
// system on a set of --size, the in-memory download restore on a set of --download-size,
// the largest the page assembles in memory) beside `cat` of the same pieces, as MB/s
// (MB = 10^6 bytes), the median of several rounds. Figures only; nothing passes or fails.
//
//   node bench/web/restore-bench.js [--work DIR] [--size N] [--download-size N] [--rounds N]
//
// Sizes in bytes or with K, M or G (binary). The sets (random data, three pieces) are made
// once with parcelon-split and kept in DIR (default build/web-bench); the tools come from
// PARCELON_BUILD (default build/).
'use strict';
const { execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const root = path.resolve(__dirname, '..', '..');
const puppeteer = require(path.join(root, 'tests', 'web', 'node_modules', 'puppeteer-core'));

const args = process.argv.slice(2);
const option = (name, fallback) => (args.includes(name) ? args[args.indexOf(name) + 1] : fallback);
const units = { K: 1024, M: 1024 ** 2, G: 1024 ** 3 };
const sizeOf = (text) => Number(text.replace(/[KMG]$/, '')) * (units[text.slice(-1)] || 1);
const size = sizeOf(option('--size', '1G'));
const downloadSize = sizeOf(option('--download-size', '384M'));
const rounds = Number(option('--rounds', '3'));
const work = path.resolve(option('--work', path.join(root, 'build', 'web-bench')));
const build = path.resolve(root, process.env.PARCELON_BUILD || 'build');
const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];
const rate = (bytes, ms) => (bytes / 1e6 / (ms / 1000)).toFixed(0);

function makeSet(size) {
  const out = path.join(work, `set-${size}`);
  if (fs.existsSync(path.join(out, 'done'))) return out;
  fs.mkdirSync(out, { recursive: true });
  const input = path.join(work, 'input.bin');
  const fd = fs.openSync(input, 'w');
  const chunk = Buffer.alloc(16 << 20);
  for (let left = size; left > 0; left -= chunk.length) {
    crypto.randomFillSync(chunk);
    fs.writeSync(fd, chunk, 0, Math.min(left, chunk.length));
  }
  fs.closeSync(fd);
  const stub = path.join(work, 'stub.bin');
  fs.writeFileSync(stub, Buffer.alloc(53248));
  execFileSync(path.join(build, 'tools', 'parcelon-split'), ['--stub', stub, '--out', out, '--base', 'bench',
    '--name', 'bench.bin', '--piece-size', String(Math.ceil(size / 3) + 70000), input], { stdio: 'inherit' });
  fs.unlinkSync(input);
  fs.writeFileSync(path.join(out, 'done'), '');
  return out;
}

function standIn() {
  window.showSaveFilePicker = async ({ suggestedName }) =>
    (await navigator.storage.getDirectory()).getFileHandle(suggestedName, { create: true });
}

const piecesOf = (set) => fs.readdirSync(set).filter((n) => n !== 'done').sort().map((n) => path.join(set, n));
const bytesOf = (files) => files.reduce((s, p) => s + fs.statSync(p).size, 0);

async function main() {
  const pieces = piecesOf(makeSet(size));
  const pieceBytes = bytesOf(pieces);
  const downloadPieces = piecesOf(makeSet(downloadSize));
  const downloadPieceBytes = bytesOf(downloadPieces);

  const server = http.createServer((req, res) => res.end(fs.readFileSync(path.join(root, 'web', path.basename(req.url)))));
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  const profile = fs.mkdtempSync(path.join(work, 'profile-'));
  const downloads = path.join(work, 'downloads');
  const browser = await puppeteer.launch({
    executablePath: process.env.PARCELON_CHROMIUM || '/usr/bin/chromium', headless: true, userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  const times = { cat: [], check: [], stream: [], downloadCat: [], download: [], downloadSaved: [] };
  try {
    const page = await browser.newPage();
    await page.evaluateOnNewDocument(standIn);
    const cdp = await page.createCDPSession();
    await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
    await page.goto(`http://127.0.0.1:${server.address().port}/index.html`);
    await (await page.$('#files')).uploadFile(...pieces);
    await page.waitForFunction(() => document.querySelector('#restore').disabled === false);
    page.on('pageerror', (e) => console.error('page error:', String(e)));
    const timed = async (button, done) => {
      console.error(`${button}...`);
      await page.evaluate(() => (document.querySelector('#status').textContent = ''));
      const start = Date.now();
      await page.click(button);
      await page.waitForFunction(done, { timeout: 600000, polling: 20 });
      return Date.now() - start;
    };
    const cat = (files) => {
      const start = Date.now();
      execFileSync('sh', ['-c', 'cat "$@" > /dev/null', 'cat', ...files]);
      return Date.now() - start;
    };
    for (let round = 0; round < rounds; round++) {
      times.cat.push(cat(pieces));
      times.check.push(await timed('#check', () => document.querySelector('#status').textContent !== ''));
      await page.evaluate(standIn);
      times.stream.push(await timed('#restore', () => document.querySelector('#status').textContent.startsWith('復元が終了')));
      await page.evaluate(async () => (await navigator.storage.getDirectory()).removeEntry('bench.bin'));
    }
    // Each download round in a page of its own: the memory of a file offered before is
    // released only when the page's garbage collector gets to it.
    for (let round = 0; round < rounds; round++) {
      times.downloadCat.push(cat(downloadPieces));
      const tab = await browser.newPage();
      await tab.evaluateOnNewDocument(() => (window.showSaveFilePicker = undefined));
      await (await tab.createCDPSession()).send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
      await tab.goto(page.url());
      await (await tab.$('#files')).uploadFile(...downloadPieces);
      await tab.waitForFunction(() => document.querySelector('#restore').disabled === false);
      // Only the file goes: Chromium does not make its download folder again.
      const saved = path.join(downloads, 'bench.bin');
      fs.rmSync(saved, { force: true });
      const start = Date.now();
      await tab.click('#restore');
      await tab.waitForFunction(() => document.querySelector('#status').textContent.startsWith('復元が終了'), { timeout: 600000, polling: 20 });
      times.download.push(Date.now() - start);
      while (!(fs.existsSync(saved) && fs.statSync(saved).size === downloadSize)) {
        if (Date.now() - start > 120000)
          throw new Error(`no download after 120 s: ${fs.existsSync(downloads) ? fs.readdirSync(downloads) : 'no folder'}`);
        await new Promise((r) => setTimeout(r, 20));
      }
      times.downloadSaved.push(Date.now() - start);
      await tab.close();
    }
  } finally {
    await browser.close();
    server.close();
    fs.rmSync(profile, { recursive: true, force: true });
    fs.rmSync(downloads, { recursive: true, force: true });
  }
  const line = (label, list, bytes) => console.log(`${label.padEnd(52)} ${rate(bytes, median(list)).padStart(6)} MB/s  (median of ${list.length}: ${list.map((t) => (t / 1000).toFixed(2)).join(' ')} s)`);
  const mb = (n) => `${(n / 2 ** 20).toFixed(0)} MiB`;
  console.log(`set of ${mb(size)} (${pieces.length} pieces, ${pieceBytes.toLocaleString('en')} bytes of pieces):`);
  line('  cat of the pieces to /dev/null', times.cat, pieceBytes);
  line('  page: check only', times.check, size);
  line('  page: restore streamed into an OPFS file', times.stream, size);
  console.log(`set of ${mb(downloadSize)} (the page's in-memory limit), ${downloadPieces.length} pieces:`);
  line('  cat of the pieces to /dev/null', times.downloadCat, downloadPieceBytes);
  line('  page: restore in memory, until offered', times.download, downloadSize);
  line('  page: restore in memory, until the download is on disk', times.downloadSaved, downloadSize);
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
