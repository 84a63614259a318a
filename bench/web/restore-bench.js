// bench/web/restore-bench.js: prints the restore page's speed on a large set in headless
// Chromium and Firefox ESR (and WebKitGTK when named), served from 127.0.0.1, beside `cat` of the same pieces, as MB/s
// (MB = 10^6 bytes), the median of several rounds: the check; in Chromium the restore
// through the save dialog's stream (a file of the browser's own storage stands in for
// the dialog, which headless Chromium cannot show); in both the restore through the
// browser's own storage, written by the page's worker, to the finished download on disk,
// with how much the browser's memory grew at most meanwhile. With --rebuild, beside each
// restore the same restore of the set made with --recovery, all pieces there (the CRC-64
// of every piece besides), and with its second piece left out and rebuilt from the
// recovery file (the question answered at once). Figures only; nothing passes or fails.
//
//   node bench/web/restore-bench.js [--work DIR] [--size N] [--rounds N] [--browsers chromium,firefox,webkit] [--rebuild]
//
// Sizes in bytes or with K, M or G (binary). The set (random data, three pieces) is made
// once with parcelon-split and kept in DIR (default build/web-bench); the tools come from
// PARCELON_BUILD (default build/).
'use strict';
const { execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const root = path.resolve(__dirname, '..', '..');
const puppeteer = require(path.join(root, 'tests', 'web', 'node_modules', 'puppeteer-core'));
const { launchOptions, serve, treeMemory, launchWebKit } = require(path.join(root, 'tests', 'web', 'browsers.js'));

const args = process.argv.slice(2);
const option = (name, fallback) => (args.includes(name) ? args[args.indexOf(name) + 1] : fallback);
const units = { K: 1024, M: 1024 ** 2, G: 1024 ** 3 };
const sizeOf = (text) => Number(text.replace(/[KMG]$/, '')) * (units[text.slice(-1)] || 1);
const size = sizeOf(option('--size', '1G'));
const rounds = Number(option('--rounds', '3'));
const names = option('--browsers', 'chromium,firefox').split(',');
const withRebuild = args.includes('--rebuild');
const work = path.resolve(option('--work', path.join(root, 'build', 'web-bench')));
const build = path.resolve(root, process.env.PARCELON_BUILD || 'build');
const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];
const rate = (bytes, ms) => (bytes / 1e6 / (ms / 1000)).toFixed(0);

function makeSet(size, recovery) {
  const out = path.join(work, `set-${size}${recovery ? '-recovery' : ''}`);
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
    '--name', 'bench.bin', '--piece-size', String(Math.ceil(size / 3) + 70000), ...(recovery ? ['--recovery'] : []), input],
  { stdio: 'inherit' });
  fs.unlinkSync(input);
  fs.writeFileSync(path.join(out, 'done'), '');
  return out;
}

function standIn() {
  window.showSaveFilePicker = async ({ suggestedName }) =>
    (await navigator.storage.getDirectory()).getFileHandle(suggestedName, { create: true });
}

async function benchBrowser(name, sets, url) {
  const pieces = sets.plain;
  const profile = fs.mkdtempSync(path.join(work, 'profile-'));
  const downloads = path.join(work, 'downloads');
  fs.rmSync(downloads, { recursive: true, force: true });
  fs.mkdirSync(downloads, { recursive: true });
  // WebKit (WebKitGTK, as Safari's stand-in) through its WebDriver: no save dialog, and no
  // script before the page, which has none to take away.
  const webkit = name === 'webkit';
  const browser = webkit ? await launchWebKit({ profile, downloads }) : await puppeteer.launch(launchOptions[name]({ profile, downloads }));
  const times = { cat: [], check: [], stream: [], storage: [] };
  for (const v of Object.keys(sets)) if (v !== 'plain') Object.assign(times, { [`stream-${v}`]: [], [`storage-${v}`]: [] });
  let grown = 0;
  const open = async (picker, pieces = sets.plain) => {
    const page = await browser.newPage();
    if (picker) await page.evaluateOnNewDocument(standIn);
    else if (!webkit) await page.evaluateOnNewDocument(() => (window.showSaveFilePicker = undefined));
    if (name === 'chromium')
      await (await page.createCDPSession()).send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
    page.on('pageerror', (e) => console.error('page error:', String(e)));
    await page.goto(url);
    await (await page.$('#files')).uploadFile(...pieces);
    await page.waitForFunction(() => document.querySelector('#restore').disabled === false && document.querySelector('#plan').textContent);
    return page;
  };
  // The recovery file's question, answered Yes as soon as it shows.
  const answerRebuild = (page) =>
    page.waitForSelector('#question:not([hidden])', { timeout: 600000, polling: 20 }).then(() => page.keyboard.press('y'));
  const timed = async (page, button, done, rebuild) => {
    console.error(`${name} ${button}...`);
    await page.evaluate(() => {
      document.querySelector('#status').textContent = '';
    });
    const start = Date.now();
    await page.click(button);
    if (rebuild) await answerRebuild(page);
    await page.waitForFunction(done, { timeout: 600000, polling: 20 });
    return Date.now() - start;
  };
  const cat = () => {
    const start = Date.now();
    execFileSync('sh', ['-c', 'cat "$@" > /dev/null', 'cat', ...pieces]);
    return Date.now() - start;
  };
  try {
    for (let round = 0; round < rounds; round++) {
      times.cat.push(cat());
      let page = await open(name === 'chromium');
      times.check.push(await timed(page, '#check', () => document.querySelector('#report').textContent !== ''));
      await page.close();
      for (const [variant, files] of Object.entries(sets)) {
        const suffix = variant === 'plain' ? '' : `-${variant}`;
        const rebuild = variant === 'rebuild';
        if (name === 'chromium') {
          page = await open(true, files);
          times[`stream${suffix}`].push(await timed(page, '#restore',
            () => document.querySelector('#status').textContent.startsWith('復元が終了'), rebuild));
          await page.evaluate(async () => (await navigator.storage.getDirectory()).removeEntry('bench.bin'));
          await page.close();
        }
        // Through the browser's own storage, to the download on disk.
        page = await open(false, files);
        const saved = path.join(downloads, 'bench.bin');
        fs.rmSync(saved, { force: true });
        const before = treeMemory(browser.process().pid);
        let peak = before;
        const sampler = setInterval(() => (peak = Math.max(peak, treeMemory(browser.process().pid))), 250);
        console.error(`${name} storage restore ${variant}...`);
        const start = Date.now();
        await page.click('#restore');
        if (rebuild) await answerRebuild(page);
        while (!(fs.existsSync(saved) && fs.statSync(saved).size === size && !fs.existsSync(saved + '.part'))) {
          if (Date.now() - start > 600000) throw new Error('no download after 600 s');
          await new Promise((r) => setTimeout(r, 20));
        }
        times[`storage${suffix}`].push(Date.now() - start);
        clearInterval(sampler);
        if (variant === 'plain') grown = Math.max(grown, peak - before);
        fs.rmSync(saved, { force: true });
        await page.close();
      }
    }
  } finally {
    await browser.close();
    fs.rmSync(profile, { recursive: true, force: true });
    fs.rmSync(downloads, { recursive: true, force: true });
  }
  return { times, grown, version: await versionOf(name) };
}

function versionOf(name) {
  if (name === 'webkit') {
    try {
      return 'WebKitGTK ' + execFileSync('dpkg-query', ['-W', '-f=${Version}', 'libwebkit2gtk-4.1-0']).toString().trim();
    } catch (e) {
      return name;
    }
  }
  const program = name === 'chromium' ? process.env.PARCELON_CHROMIUM || '/usr/bin/chromium' : process.env.PARCELON_FIREFOX || '/usr/bin/firefox-esr';
  try {
    return execFileSync(program, ['--version'], { stdio: ['ignore', 'pipe', 'ignore'] }).toString().trim();
  } catch (e) {
    return name;
  }
}

async function main() {
  const listed = (dir) => fs.readdirSync(dir).filter((n) => n !== 'done').sort().map((n) => path.join(dir, n));
  const pieces = listed(makeSet(size));
  const sets = { plain: pieces };
  if (withRebuild) {
    sets.recovery = listed(makeSet(size, true));
    sets.rebuild = sets.recovery.filter((p) => !p.endsWith('.d02'));
  }
  const pieceBytes = pieces.reduce((s, p) => s + fs.statSync(p).size, 0);
  const { server, origin } = await serve();
  const url = origin + 'index.html';
  const results = {};
  try {
    for (const name of names) results[name] = await benchBrowser(name, sets, url);
  } finally {
    server.close();
  }
  const line = (label, list, bytes) => console.log(`${label.padEnd(62)} ${rate(bytes, median(list)).padStart(6)} MB/s  (median of ${list.length}: ${list.map((t) => (t / 1000).toFixed(2)).join(' ')} s)`);
  console.log(`set of ${(size / 2 ** 20).toFixed(0)} MiB (${pieces.length} pieces, ${pieceBytes.toLocaleString('en')} bytes of pieces); ${os.cpus().length} CPUs, load ${os.loadavg().map((l) => l.toFixed(1)).join(' ')}`);
  for (const [name, r] of Object.entries(results)) {
    console.log(`${r.version}:`);
    line('  cat of the pieces to /dev/null', r.times.cat, pieceBytes);
    line('  page: check only', r.times.check, size);
    if (r.times.stream.length) line('  page: restore through the save dialog\'s stream (stand-in)', r.times.stream, size);
    line('  page: restore through the browser\'s storage, to the download', r.times.storage, size);
    for (const [v, label] of [['recovery', 'recovery file present'], ['rebuild', 'second piece rebuilt']]) {
      if (r.times[`stream-${v}`] && r.times[`stream-${v}`].length) line(`    the same through the stream, ${label}`, r.times[`stream-${v}`], size);
      if (r.times[`storage-${v}`]) line(`    the same through the storage, ${label}`, r.times[`storage-${v}`], size);
    }
    console.log(`  browser memory grew by at most ${(r.grown / 2 ** 20).toFixed(0)} MiB during that restore`);
  }
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
