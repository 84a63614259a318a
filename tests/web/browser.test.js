// tests/web/browser.test.js: the restore page in headless Chromium and Firefox ESR, served
// from 127.0.0.1 by a server of this test and opened from file://, and in WebKit
// (WebKitGTK, through its WebDriver) from 127.0.0.1, at a desktop's and a phone's size: a
// three-piece set chosen through the file input is restored by each path the browser
// offers (the save dialog's stream, for which a file of the browser's own storage stands
// in, as headless Chromium cannot show the dialog; the browser's own storage, written by
// the page's worker or, without a sync access handle, by the page's writable stream;
// memory), byte for byte, and the test says which path it took; the progress line names
// the piece being read; the finish names the file saved and the stored time in the
// browser's time zone; a damaged piece brings its question, which starts on No and is
// answered from the keyboard (Enter, N, Esc, Y; R at a file without a piece); a stop and
// a failed check say which file to ask for again; a forced restore's download says in its
// name that it is damaged; the check's verdict names the bad piece; a new choice replaces
// the set, and a piece chosen or dropped alone adds to a set that lacks it; with a
// recovery file, a lost piece and a damaged one are rebuilt (each through a path of the
// browser) and a set without its executable is restored, byte for byte, its executable
// shown as to be rebuilt, and another set of the same names chosen after it is a new set;
// a file too large for the browser is refused before Restore; no request leaves the page's
// own three files; nothing is wider than the window. Firefox and WebKit also restore one
// set larger than memory allows through their own storage with their memory flat, the
// time left shown midway. Screenshots go to PARCELON_SHOTS (or a temp folder).
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const puppeteer = require('puppeteer-core');
const { tempDir, makeSet } = require('./sets.js');
const { web, pageFiles, launchOptions, serve, treeMemory, launchWebKit, webkitMissing } = require('./browsers.js');

const sha256 = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');
const desktop = { width: 1280, height: 800 };
const phone = { width: 390, height: 844 };

// The browsers run in Japan's time zone (UTC+9, no summer time): the stored time is shown
// in the recipient's.
const env = { TZ: 'Asia/Tokyo' };

// Each browser: how it is started and where its downloads go, and for each place the
// page is opened from, the window's size, how the first restore is saved and how the
// browser's own storage is written (through the worker's sync access handle, or the page's
// writable stream where the browser has no sync handle).
const browsers = [
  {
    name: 'chromium',
    launch: (dir) => puppeteer.launch(launchOptions.chromium({ profile: path.join(dir, 'profile'), env })),
    runs: [
      { where: 'http', view: desktop, first: 'picker', second: 'storage', rebuild: ['picker', 'storage'] },
      { where: 'file', view: phone, first: 'picker', second: 'memory', rebuild: ['memory', 'memory'] },
    ],
  },
  {
    name: 'firefox',
    launch: (dir) => puppeteer.launch(launchOptions.firefox({ downloads: path.join(dir, 'downloads'), env })),
    runs: [
      { where: 'http', view: phone, first: 'storage', rebuild: ['storage', 'storage'] },
      { where: 'file', view: desktop, first: 'storage', rebuild: ['storage', 'storage'] },
    ],
    big: 400 * 1024 * 1024,
  },
  {
    // Safari's engine: no save dialog, no sync access handle.
    name: 'webkit',
    missing: webkitMissing,
    launch: (dir) => launchWebKit({ profile: path.join(dir, 'profile'), downloads: path.join(dir, 'downloads'), env }),
    runs: [
      { where: 'http', view: desktop, first: 'storage', via: 'writable', rebuild: ['storage', 'storage'] },
      { where: 'http', view: phone, first: 'storage', via: 'writable', rebuild: ['storage', 'storage'] },
    ],
    // Larger than memory allows, but within the 1,000 MB its storage grants.
    big: 800 * 1024 * 1024,
    // WebKit reads a chosen file only in chunks of its own making (its streams of a file
    // take no buffer of the page's), which its collector gives back late: 311 to 501 MiB
    // seen during this restore. Still well below the file, which a restore in memory holds.
    grows: 0.8,
  },
];
// The way of saving the page says it took (#plan's data-mode).
const modeOf = (r, mode) => (mode === 'storage' ? `storage-${r.via || 'sync'}` : mode);

// Stands in for the save dialog: a file of the browser's own storage where the page may
// use it, else an in-memory writable (file://). The second write waits for
// window.release() when the test has set window.hold, so that a screenshot can catch a
// restore midway.
function standIn() {
  window.showSaveFilePicker = async ({ suggestedName }) => {
    window.savedName = suggestedName;
    let handle;
    try {
      handle = await (await navigator.storage.getDirectory()).getFileHandle('saved', { create: true });
    } catch (e) {
      window.memory = [];
      handle = { name: 'saved', createWritable: async () => ({ write: async (d) => window.memory.push(d.slice()), close: async () => {} }) };
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
    else blob = await (await (await navigator.storage.getDirectory()).getFileHandle('saved')).getFile();
    const digest = await crypto.subtle.digest('SHA-256', await blob.arrayBuffer());
    return [...new Uint8Array(digest)].map((b) => b.toString(16).padStart(2, '0')).join('');
  });
}

// The finished download, removed from the folder once read.
async function takeDownload(file, size, seconds = 20) {
  for (let i = 0; i < seconds * 10; i++) {
    if (fs.existsSync(file) && fs.statSync(file).size === size && !fs.existsSync(file + '.part')) {
      const hash = sha256(fs.readFileSync(file));
      fs.rmSync(file);
      return hash;
    }
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`no download ${file}: ${fs.existsSync(path.dirname(file)) ? fs.readdirSync(path.dirname(file)) : '-'}`);
}

const text = (page, selector) => page.$eval(selector, (e) => e.textContent);
// The page's files in the browser's own storage (none where the page cannot use it).
const leftovers = (page) => page.evaluate(async () => {
  try {
    const names = [];
    for await (const name of (await navigator.storage.getDirectory()).keys()) names.push(name);
    return names.filter((n) => n.startsWith('parcelon-restore-'));
  } catch (e) {
    return [];
  }
});
const classes = (page) => page.$$eval('#pieces li', (l) => l.map((e) => e.className));

for (const b of browsers) {
  test(`the page restores and checks sets in ${b.name}`, { timeout: b.name === 'webkit' ? 720000 : 300000 }, async (t) => {
    // A browser this machine lacks is said so, by name and reason, never passed silently;
    // scripts/setup.sh installs them all.
    const missing = b.missing && b.missing();
    if (missing) {
      if (process.env.PARCELON_WEB_SKIP_OK === '1') return t.skip(`${b.name} cannot run here: ${missing}`);
      throw new Error(`${b.name} cannot run here: ${missing} (run scripts/setup.sh; PARCELON_WEB_SKIP_OK=1 skips it, saying so)`);
    }
    const dir = tempDir();
    const shots = process.env.PARCELON_SHOTS || path.join(dir, 'shots');
    fs.mkdirSync(shots, { recursive: true });
    const downloads = path.join(dir, 'downloads');
    fs.mkdirSync(downloads, { recursive: true });
    // A long name without spaces must wrap at a phone's width.
    const longName = '資料_' + 'abcdefghij'.repeat(8) + '.txt';
    const sound = makeSet(path.join(dir, 'sound'), {
      name: longName, size: 3000000, args: ['--piece-size', '1100000', '--time', '2024-03-15T13:45:30'],
    });
    const bad = makeSet(path.join(dir, 'bad'), { args: ['--data-counts', '2000,1500,1500', '--bad-crc', '2'] });
    const soundFiles = ['sample.exe', 'sample.d02', 'sample.d03'].map((n) => path.join(sound.out, n));
    // A first piece that says its file holds 400 MiB: marker, a byte, the total, a byte,
    // the piece length, the identifier, a name record and the end tag.
    const hugeExe = path.join(dir, 'huge.exe');
    const header = Buffer.from('-PQ3-\0\x19\0\0\0\0\0\0\0\x1b\x12\x34\x01\x05h.bin\0', 'latin1');
    fs.writeFileSync(hugeExe, Buffer.concat([Buffer.alloc(53248), header]));
    const badFiles = ['sample.exe', 'sample.d02', 'sample.d03'].map((n) => path.join(bad.out, n));
    // The set with a sample.d02 that holds no piece at all.
    const junkDir = path.join(dir, 'junk');
    fs.cpSync(bad.out, junkDir, { recursive: true });
    fs.writeFileSync(path.join(junkDir, 'sample.d02'), Buffer.alloc(3000, 0x20));
    // A set with its recovery file: without sample.d02; with a byte of sample.d03 changed;
    // without the executable.
    const recovered = makeSet(path.join(dir, 'recovery'), { size: 300000, args: ['--piece-size', '100000', '--recovery'] });
    const damagedDir = path.join(dir, 'recovery-damaged');
    fs.cpSync(recovered.out, damagedDir, { recursive: true });
    const d03 = fs.readFileSync(path.join(damagedDir, 'sample.d03'));
    d03[5000] ^= 1;
    fs.writeFileSync(path.join(damagedDir, 'sample.d03'), d03);
    const recoveryNames = fs.readdirSync(recovered.out);
    const rebuilds = [
      { files: recoveryNames.filter((n) => n !== 'sample.d02').map((n) => path.join(recovered.out, n)),
        question: '「sample.d02」が見つかりません。\n回復ファイルから作り直しますか？' },
      { files: recoveryNames.map((n) => path.join(damagedDir, n)),
        question: 'ファイルの内容が正しくありません。\n回復ファイルから作り直しますか？\n[sample.d03]' },
      { files: recoveryNames.filter((n) => n !== 'sample.exe').map((n) => path.join(recovered.out, n)), question: null },
    ];
    const { server, served, origin } = await serve();
    const browser = await b.launch(dir);
    try {
      for (const r of b.runs) {
        const base = r.where === 'http' ? origin : 'file://' + web + '/';
        const tag = `${b.name}-${r.where}-${r.view.width}`;
        const page = await browser.newPage();
        await page.setViewport(r.view);
        const requests = [];
        const errors = [];
        page.on('request', (q) => requests.push(q.url()));
        page.on('pageerror', (e) => errors.push(String(e)));
        page.on('console', (m) => m.type() === 'error' && errors.push(m.text()));
        if (r.first === 'picker') await page.evaluateOnNewDocument(standIn);
        // (WebKit has no save dialog, and WebDriver runs no script before the page's.)
        else if (b.name !== 'webkit') await page.evaluateOnNewDocument(() => (window.showSaveFilePicker = undefined));
        if (b.name === 'chromium')
          await (await page.createCDPSession()).send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
        await page.goto(base + 'index.html');
        let shot = 0;
        const look = async (state) => {
          const [wide, view] = await page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth]);
          assert.ok(wide <= view, `${tag} ${state}: the page is ${wide} px wide in a window of ${view}`);
          await page.screenshot({ path: path.join(shots, `${tag}-${++shot}-${state}.png`) });
        };

        // The set but its last piece: the stored name, the size, the pieces expected (the
        // missing one estimated) and how the file will be saved.
        await (await page.$('#files')).uploadFile(...soundFiles.slice(0, 2));
        await page.waitForFunction(() => document.querySelector('#plan').textContent !== '');
        assert.strictEqual(await text(page, '#info'), `分割元ファイル ${longName}\nサイズ 3,000,000 バイト`);
        assert.deepStrictEqual(await classes(page), ['present', 'present', 'missing']);
        assert.strictEqual(await text(page, '#count'), '分割ファイルは全部で約 3 個です（そろっているファイルからの見積もり）。');
        assert.match(await text(page, '#plan'), { picker: /保存先を選べます/, storage: /ブラウザーの保存領域/ }[r.first]);
        assert.strictEqual(await page.$eval('#plan', (e) => e.dataset.mode), modeOf(r, r.first));
        console.log(`${tag}: the first restore is saved through ${modeOf(r, r.first)}`);
        await look('chosen');

        // The first restore, caught midway where the save dialog's stand-in can hold it.
        if (r.first === 'picker') {
          await page.evaluate(() => {
            window.hold = new Promise((res) => (window.release = res));
          });
        }
        await page.click('#restore');
        if (r.first === 'picker') {
          await page.waitForFunction(() => window.held === true);
          // The piece being read, the bytes and the share done.
          assert.match(await text(page, '#bytes'), /^sample\.d02 を読んでいます　[\d,]+ \/ 3,000,000 バイト（\d+%）/);
          await look('restoring');
          await page.evaluate(() => window.release());
        }
        // The missing piece is asked for and chosen from the question's own chooser.
        await page.waitForSelector('#question:not([hidden])');
        assert.strictEqual(await text(page, '#question-text'), '次に sample.d03 を読み込みます。');
        assert.match(await text(page, '#question-add label'), /sample\.d03 がありません/);
        await look('next-file');
        await (await page.$('#question-add input[type=file]')).uploadFile(soundFiles[2]);
        await page.waitForFunction(() => [...document.querySelectorAll('#pieces li')].every((e) => e.className === 'present'));
        await page.click('#question-buttons [data-answer="ok"]');
        await page.waitForFunction(() => document.querySelector('#status').textContent.startsWith('復元が終了しました。'));
        // The stored time (13:45:30 UTC) in the browser's own time zone, and the file it saved.
        assert.match(await text(page, '#status'), /更新日時 2024\/03\/15 22:45:30（この端末の時刻）/);
        assert.match(await text(page, '#status'), r.first === 'picker' ? /「saved」に保存しました。/ : new RegExp(`「${longName}」としてダウンロードしました。`));
        assert.deepStrictEqual(await classes(page), ['good', 'good', 'good']);
        // A restore into the browser's storage runs in the worker that writes it.
        assert.strictEqual(await page.$eval('#report', (e) => e.dataset.ran), modeOf(r, r.first) === 'storage-sync' ? 'worker' : 'page',
          `${tag}: where the restore ran`);
        await look('restored');
        if (r.first === 'picker') {
          assert.strictEqual(await page.evaluate(() => window.savedName), longName);
          assert.strictEqual(await savedHash(page), sha256(sound.data), `${tag}: saved file`);
        } else {
          assert.strictEqual(await takeDownload(path.join(downloads, longName), sound.data.length), sha256(sound.data));
        }
        if (r.second) {
          await page.evaluate(() => (window.showSaveFilePicker = undefined));
          await page.click('#restore');
          await page.waitForFunction(() => document.querySelector('#status').textContent.includes('ダウンロード'));
          assert.match(await text(page, '#plan'), { storage: /ブラウザーの保存領域/, memory: /384 MiB までの/ }[r.second]);
          assert.strictEqual(await page.$eval('#plan', (e) => e.dataset.mode), modeOf(r, r.second));
          assert.strictEqual(await takeDownload(path.join(downloads, longName), sound.data.length), sha256(sound.data));
        }

        // The check of the sound set says so.
        await page.click('#check');
        await page.waitForFunction(() => document.querySelector('#report').textContent.includes('sound: 3 pieces'));
        assert.strictEqual(await text(page, '#status'),
          'この分割ファイルは復元できます。3 個のファイルがすべてそろい、内容も正しいことを確かめました（3,000,000 バイト）。');
        // A check runs in the page's worker, beside the reads, wherever there is one (not in
        // WebKit, which has no sync access handle, nor in Chromium from file://).
        assert.strictEqual(await page.$eval('#report', (e) => e.dataset.ran),
          b.name === 'webkit' || (b.name === 'chromium' && r.where === 'file') ? 'page' : 'worker', `${tag}: where the check ran`);
        await look('sound-check');

        // Another set, chosen without its last piece, replaces the first: its list does
        // not borrow the first set's sample.d03.
        await (await page.$('#files')).uploadFile(...badFiles.slice(0, 2));
        await page.waitForFunction(() => document.querySelector('#info').textContent.includes('5,000 バイト') &&
          document.querySelectorAll('#pieces li').length === 3);
        assert.deepStrictEqual(await classes(page), ['present', 'present', 'missing']);
        // A choice or a drop without an executable adds to a set that lacks a piece.
        if (r.where === 'file') await (await page.$('#files')).uploadFile(badFiles[2]);
        else {
          await page.evaluate(() => {
            const input = Object.assign(document.createElement('input'), { type: 'file', id: 'dropped', hidden: true });
            document.body.append(input);
          });
          await (await page.$('#dropped')).uploadFile(badFiles[2]);
          await page.evaluate(() => {
            const data = new DataTransfer();
            for (const file of document.querySelector('#dropped').files) data.items.add(file);
            document.querySelector('#drop').dispatchEvent(new DragEvent('drop', { dataTransfer: data, bubbles: true, cancelable: true }));
          });
        }
        await page.waitForFunction(() => document.querySelectorAll('#pieces li.present').length === 3);
        assert.strictEqual(await text(page, '#count'), '分割ファイルは全部で 3 個です。');

        // A damaged intermediate piece: its question is a modal, answered with N.
        await page.focus('#restore');
        await page.click('#restore');
        await page.waitForSelector('#question:not([hidden])');
        assert.strictEqual(await text(page, '#question-caption'), 'Parcelon 復元確認');
        assert.strictEqual(await text(page, '#question-text'), 'ファイルの内容が正しくありません。強行しますか？\n[sample.d02]');
        assert.deepStrictEqual(await page.evaluate(() => [document.querySelector('#question').getAttribute('aria-modal'),
          document.querySelector('#main').inert]), ['true', true]);
        // The focus starts on No, so that Enter does not force a damaged piece.
        const focused = () => page.evaluate(() => document.activeElement.dataset.answer);
        assert.strictEqual(await focused(), 'no');
        for (let i = 0; i < 4; i++) {
          await page.keyboard.press('Tab');
          assert.ok(await page.evaluate(() => document.querySelector('#question').contains(document.activeElement)), 'focus left the question');
        }
        await look('question');
        await page.keyboard.press('Enter');
        // A stop says which file to ask for again.
        const stopped = '復元を中止しました。\n送り主に sample.d02 をもう一度送ってもらい、選び直してください。';
        await page.waitForFunction((s) => document.querySelector('#status').textContent === s, {}, stopped);
        assert.strictEqual(await page.evaluate(() => document.activeElement.id), 'restore');
        assert.deepStrictEqual(await leftovers(page), [], `${tag}: a stopped restore left its file`);
        // N and Esc refuse it as well.
        for (const key of ['n', 'Escape']) {
          await page.click('#restore');
          await page.waitForSelector('#question:not([hidden])');
          await page.keyboard.press(key);
          await page.waitForFunction((s) => document.querySelector('#status').textContent === s, {}, stopped);
        }

        // The check's verdict names the bad piece; the list marks it.
        await page.click('#check');
        await page.waitForFunction(() => document.querySelector('#report').textContent.includes('not sound'));
        assert.strictEqual(await text(page, '#status'), 'この分割ファイルは、このままでは正しく復元できません。\nsample.d02 の内容が正しくありません（壊れています）。' +
          '\n送り主に sample.d02 をもう一度送ってもらい、選び直してください。');
        assert.deepStrictEqual(await classes(page), ['good', 'bad', 'good']);
        assert.match(await text(page, '#report'), /not sound: sample\.d02 fails its check value \(5,000 of 5,000 bytes read\)$/);
        await look('check');

        // Forced through with Y: the end says the file is not the original.
        await page.evaluate(() => (window.showSaveFilePicker = undefined));
        await page.click('#restore');
        await page.waitForSelector('#question:not([hidden])');
        assert.strictEqual(await focused(), 'no');
        await page.keyboard.press('y');
        await page.waitForFunction(() => document.querySelector('#status').textContent.includes('sample.d02'));
        assert.match(await text(page, '#status'), /^復元が終了しましたが、復元したファイルは元のファイルと同じではありません。.*\nsample\.d02（内容が不正）/s);
        await look('forced');
        // Its download's name says it is damaged, its extension last.
        assert.match(await text(page, '#status'), /「sample（破損あり）\.txt」としてダウンロードしました。/);
        await takeDownload(path.join(downloads, 'sample（破損あり）.txt'), 5000);

        // A check leaves the last download's stored file to the browser.
        const stored = await leftovers(page);
        await page.click('#check');
        await page.waitForFunction(() => document.querySelector('#report').textContent.includes('not sound'));
        assert.deepStrictEqual(await leftovers(page), stored, `${tag}: a check removed the download's stored file`);
        // A save dialog the page may not open (inside a frame, say) leaves the download, and
        // its refusal of a file that cannot fit.
        if (r.where === 'http') {
          await page.evaluate(() => {
            window.showSaveFilePicker = async () => { throw new DOMException('not here', 'SecurityError'); };
            // Stand-ins for browser objects go on their prototypes: WebKit drops a property
            // set on the object itself whenever it collects the object's script wrapper.
            const manager = Object.getPrototypeOf(navigator.storage);
            window.realEstimate = manager.estimate;
            manager.estimate = async () => ({ quota: 1000, usage: 0 });
          });
          await page.click('#restore');
          await page.waitForFunction(() => document.querySelector('#status').textContent.startsWith('このファイル') ||
            !document.querySelector('#question').hidden);
          assert.match(await text(page, '#status'), /^このファイル（5,000 バイト）はブラウザーの保存領域（使える領域 約 1,000 バイト）に収まらない/,
            `${tag}: no refusal; saving through ${await page.$eval('#plan', (e) => e.dataset.mode)}, asked "${await text(page, '#question-text')}"`);
          await page.evaluate(() => (Object.getPrototypeOf(navigator.storage).estimate = window.realEstimate));
        }

        // A file that holds no piece: R asks again, Esc stops and says which file to ask for.
        await page.click('#clear');
        await (await page.$('#files')).uploadFile(...['sample.exe', 'sample.d02', 'sample.d03'].map((n) => path.join(junkDir, n)));
        await page.waitForFunction(() => document.querySelector('#plan').textContent !== '');
        await page.click('#restore');
        await page.waitForSelector('#question:not([hidden])');
        assert.strictEqual(await text(page, '#question-text'), '分割ファイルが異常です。');
        await page.evaluate(() => (document.querySelector('#question-text').textContent = ''));
        await page.keyboard.press('r');
        await page.waitForFunction(() => !document.querySelector('#question').hidden &&
          document.querySelector('#question-text').textContent === '分割ファイルが異常です。');
        await page.keyboard.press('Escape');
        await page.waitForFunction(() => document.querySelector('#status').textContent ===
          '復元を中止しました。\n送り主に sample.d02 をもう一度送ってもらい、選び直してください。');

        // A rebuild that fails (the lost piece's range rebuilt over a damaged one) leaves the
        // picked file cut back to where the range begins: nothing that looks whole.
        if (r.rebuild[0] === 'picker') {
          await page.evaluate(standIn);
          await page.click('#clear');
          await (await page.$('#files')).uploadFile(...recoveryNames.filter((n) => n !== 'sample.d02').map((n) => path.join(damagedDir, n)));
          await page.waitForFunction(() => document.querySelector('#plan').textContent !== '');
          await page.click('#restore');
          for (const [key, asked] of [['y', '見つかりません'], ['y', '[sample.d03]'], ['Enter', '作り直せませんでした']]) {
            await page.waitForFunction((asked) => !document.querySelector('#question').hidden &&
              document.querySelector('#question-text').textContent.includes(asked), {}, asked);
            await page.keyboard.press(key);
          }
          await page.waitForFunction(() => document.querySelector('#status').textContent.startsWith('復元を中止しました。'));
          const kept = await page.evaluate(async () =>
            new Uint8Array(await (await (await (await navigator.storage.getDirectory()).getFileHandle('saved')).getFile()).arrayBuffer()));
          const bytes = Buffer.from(Object.values(kept));
          assert.ok(bytes.length < recovered.data.length / 2, `${tag}: a failed rebuild left ${bytes.length} bytes`);
          assert.ok(bytes.equals(recovered.data.subarray(0, bytes.length)), `${tag}: what a failed rebuild left is no prefix`);
        }

        // With the recovery file: a lost piece, then a damaged one, rebuilt through the paths
        // of this run; then the set without its executable, through the second.
        for (const [i, k] of rebuilds.entries()) {
          const mode = r.rebuild[Math.min(i, 1)];
          if (mode === 'picker') await page.evaluate(standIn);
          else await page.evaluate(() => (window.showSaveFilePicker = undefined));
          await page.click('#clear');
          await (await page.$('#files')).uploadFile(...k.files);
          await page.waitForFunction(() => document.querySelector('#plan').textContent !== '');
          // An executable the recovery file will rebuild is no fault.
          if (!k.question) {
            assert.strictEqual((await classes(page))[0], 'rebuild');
            await page.click('#check');
            await page.waitForFunction(() => document.querySelector('#report').textContent.includes('repairable'));
            assert.strictEqual((await classes(page))[0], 'rebuild', `${tag}: the check calls the executable a fault`);
          }
          await page.click('#restore');
          if (k.question) {
            await page.waitForSelector('#question:not([hidden])');
            assert.strictEqual(await text(page, '#question-text'), k.question);
            await page.keyboard.press('y');
          }
          await page.waitForFunction(() => document.querySelector('#status').textContent.startsWith('復元が終了しました。'));
          assert.match(await text(page, '#status'), /sample\.(d02|d03|exe) は回復ファイルから作り直しました。/);
          assert.deepStrictEqual(await classes(page), [...Array(recoveryNames.length - 1).fill('good'), 'present'], `${tag} rebuild ${i}`);
          const hash = mode === 'picker' ? await savedHash(page) : await takeDownload(path.join(downloads, 'sample.txt'), recovered.data.length);
          assert.strictEqual(hash, sha256(recovered.data), `${tag}: rebuild ${i} through ${mode}`);
        }
        if (r.where === 'file') await look('rebuilt');
        // Another set whose executable has the same name is a new set, not the rest of the
        // one chosen without its executable: none of that set's files stays in the list.
        await (await page.$('#files')).uploadFile(...badFiles.slice(0, 2));
        await page.waitForFunction(() => document.querySelector('#info').textContent.includes('5,000 バイト') &&
          document.querySelectorAll('#pieces li').length >= 3 && document.querySelector('#plan').textContent !== '');
        assert.deepStrictEqual(await classes(page), ['present', 'present', 'missing'], `${tag}: the new set joined the old`);

        // A file the browser cannot hold is refused before Restore is pressed: one larger
        // than the room its storage grants, or than it assembles in memory; a check is
        // still offered.
        if (r.second === 'memory') await (await page.$('#files')).uploadFile(hugeExe);
        else {
          await page.evaluate(() => (Object.getPrototypeOf(navigator.storage).estimate = async () => ({ quota: 4000, usage: 0 })));
          await (await page.$('#files')).uploadFile(...badFiles);
        }
        await page.waitForFunction(() => document.querySelector('#plan').classList.contains('warn')).catch(async (e) => {
          throw new Error(`${tag}: no refusal; the plan says "${await text(page, '#plan')}", the status "${await text(page, '#status')}", the info "${await text(page, '#info')}", the list ${await classes(page)} (${e.message})`);
        });
        assert.match(await text(page, '#plan'), r.second === 'memory' ? /384 MiB）を超える/ : /約 4,000 バイト）に収まらない/);
        assert.deepStrictEqual(await page.$$eval('#restore, #check', (l) => l.map((e) => e.disabled)), [true, false]);
        await look('refused');

        // Start over forgets the set.
        await page.click('#clear');
        assert.deepStrictEqual([await text(page, '#info'), await classes(page)], ['', []]);
        assert.strictEqual(await page.$eval('#restore', (e) => e.disabled), true);

        // The browser's own storage keeps no restored file past the next visit.
        await page.reload();
        await page.waitForFunction(() => document.querySelector('#files') !== null);
        // (The page's own probe of its storage comes and goes meanwhile: a file that stays
        // five seconds is left over.)
        let left = [];
        for (let i = 0; i < 10 && (i === 0 || left.length); i++) {
          await new Promise((res) => setTimeout(res, 500));
          left = await leftovers(page);
        }
        assert.deepStrictEqual(left, [], `${tag}: files left in the browser's storage`);

        if (page.errors) errors.push(...await page.errors());
        assert.deepStrictEqual(errors, []);
        const own = requests.filter((u) => !u.startsWith('blob:') && !u.startsWith('data:'));
        // (Firefox reports no requests of file:// pages; the server checks its own.)
        for (const u of own) assert.ok(u.startsWith(base) && pageFiles.includes(u.slice(base.length)), `${tag}: request ${u}`);
        await page.close();
      }
      assert.deepStrictEqual([...new Set(served)].sort(), pageFiles.map((f) => '/' + f).sort(), 'requests the server saw');

      if (b.big) {
        // One set larger than any in-memory restore, through the browser's own storage,
        // with the browser's memory flat.
        const big = makeSet(path.join(dir, 'big'), { name: 'big.bin', size: b.big, args: ['--piece-size', String(150 * 2 ** 20)] });
        const page = await browser.newPage();
        await page.goto(origin + 'index.html');
        await (await page.$('#files')).uploadFile(...fs.readdirSync(big.out).map((n) => path.join(big.out, n)));
        await page.waitForFunction(() => /ブラウザーの保存領域/.test(document.querySelector('#plan').textContent));
        const before = treeMemory(browser.process().pid);
        let peak = before;
        const sampler = setInterval(() => (peak = Math.max(peak, treeMemory(browser.process().pid))), 200);
        let hash;
        try {
          await page.click('#restore');
          // Midway: the piece being read, the share done and the time left.
          await page.waitForFunction(() => ((t) => /^sample\.(exe|d\d+) を読んでいます　[\d,]+ \/ [\d,]+ バイト（\d+%）　残り約 \d+ (秒|分)$/
            .test(t) && (window.midway = t))(document.querySelector('#bytes').textContent), { timeout: 60000 });
          console.log(`${b.name}: midway the page said "${await page.evaluate(() => window.midway)}"`);
          // At 3 MB/s at least, as on a machine whose cores are busy with other work.
          await page.waitForFunction(() => document.querySelector('#status').textContent.startsWith('復元が終了しました。'),
            { timeout: Math.max(120000, b.big / 3000) });
          hash = await takeDownload(path.join(downloads, 'big.bin'), b.big, 60);
        } finally {
          clearInterval(sampler);
        }
        assert.strictEqual(hash, sha256(big.data), 'the large download');
        const grown = peak - before;
        console.log(`${b.name}: ${b.big / 2 ** 20} MiB restored; the browser's memory grew by at most ${(grown / 2 ** 20).toFixed(0)} MiB`);
        assert.ok(grown < b.big * (b.grows || 0.5), `the browser's memory grew by ${grown} bytes`);
        await page.close();
      }
      console.log(`screenshots: ${shots}`);
    } finally {
      await browser.close();
      server.close();
      if (!process.env.PARCELON_SHOTS) fs.rmSync(dir, { recursive: true, force: true });
    }
  });
}
