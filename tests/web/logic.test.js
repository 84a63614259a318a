// tests/web/logic.test.js: the restore page's logic on sound and damaged sets made by
// parcelon-split: the questions it asks, the bytes it restores and its check report,
// which must read as parcelon-restore --check prints it for the same files.
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const P = require('../../web/parcelon.js');
const { execFileSync } = require('node:child_process');
const { tempDir, makeSet, toolCheck, filesOf, splitTool } = require('./sets.js');

const truncate = (file, size) => fs.truncateSync(file, size);
// Changes bytes of a file at offset by XOR with the given values.
const flip = (file, offset, values) => {
  const bytes = fs.readFileSync(file);
  values.forEach((v, i) => (bytes[offset + i] ^= v));
  fs.writeFileSync(file, bytes);
};
// Two byte changes, two bytes apart, that leave the CRC-16 as it was (it is linear, so a,
// 0, b leaves it when a, 0, 0 and 0, 0, b have the same CRC-16), by the engine's CRC-16.
const crc16 = (crc, bytes) => P.rules.crc16(crc, bytes);
let crc16Blind = null;
test.before(async () => {
  const heads = new Map();
  for (let a = 1; a < 256; a++) heads.set(await crc16(0, Uint8Array.of(a, 0, 0)), a);
  for (let b = 1; b < 256 && !crc16Blind; b++) {
    const a = heads.get(await crc16(0, Uint8Array.of(0, 0, b)));
    if (a) crc16Blind = [a, 0, b];
  }
  assert.ok(crc16Blind, 'no pair of changes the CRC-16 cannot see');
  assert.strictEqual(await crc16(0, Uint8Array.from(crc16Blind)), 0);
});

// Each set: how it is made and damaged, the answers given, the questions expected in
// order, how the restore ends and how many bytes it gives (null: the whole file).
const cases = [
  { label: 'sound, three pieces', args: ['--piece-size', '60000'], size: 120000, asked: [], outcome: 'finished' },
  {
    // As the format's worked example lays it out: without the data-check record.
    label: 'the worked example: 2,000 + 3,000 with a time stamp',
    args: ['--data-counts', '2000,3000', '--time', '2024-03-15T13:45:30', '--no-data-check'], asked: [],
    outcome: 'finished',
    info: { firstDataCount: 2000, headerLength: 38, infoText: '分割元ファイル sample.txt\nサイズ 5,000 バイト',
      stamp: '更新日時 2024/03/15 13:45:30 (UTC)' },
  },
  {
    label: 'a Japanese name', name: '資料表ソース.txt', args: ['--data-counts', '2000,3000', '--no-time'], asked: [],
    outcome: 'finished', info: { name: '資料表ソース.txt', stamp: null },
  },
  {
    label: 'a bad check value in an intermediate piece, forced through',
    args: ['--data-counts', '2000,1500,1500', '--bad-crc', '2'], asked: ['W5'], outcome: 'finished',
  },
  {
    label: 'a bad check value in an intermediate piece, refused',
    args: ['--data-counts', '2000,1500,1500', '--bad-crc', '2'], answers: { W5: 'no' }, asked: ['W5'],
    outcome: 'stopped', bytes: 3500,
  },
  {
    label: 'a bad check value in the last piece', args: ['--data-counts', '2000,1500,1500', '--bad-crc', '3'],
    asked: ['W6'], outcome: 'finished',
  },
  {
    label: 'a foreign piece, refused', args: ['--data-counts', '2000,3000', '--set-id-for', '2=BEEF'],
    answers: { N3: 'no' }, asked: ['N3'], outcome: 'stopped', bytes: 2000,
  },
  {
    label: 'a piece cut short', args: ['--data-counts', '2000,3000'], asked: ['W4'], outcome: 'stopped',
    damage: (out) => truncate(path.join(out, 'sample.d02'), 13 + 2500), bytes: 2000 + 2048,
  },
  {
    label: 'a piece file that ends inside its header', args: ['--data-counts', '2000,3000', '--garbage', '2:2039'],
    asked: ['W4'], outcome: 'stopped', damage: (out) => truncate(path.join(out, 'sample.d02'), 2039 + 12), bytes: 2000,
  },
  {
    label: 'a missing piece, added when asked', args: ['--data-counts', '2000,1500,1500'], withhold: 'sample.d03',
    asked: ['N1'], outcome: 'finished',
  },
  { label: 'the marker at offset 1021', args: ['--data-counts', '2000,3000', '--garbage', '2:1021'], asked: [], outcome: 'finished' },
  {
    label: 'the marker beyond the search', args: ['--data-counts', '2000,3000', '--garbage', '2:102000'],
    asked: ['N2'], outcome: 'stopped', bytes: 2000,
  },
  {
    label: 'a write to the destination that fails', args: ['--data-counts', '2000,3000'], failWrite: 2,
    asked: ['write'], outcome: 'stopped', bytes: 2000,
  },
  {
    // The stored total is 100 bytes short of the data: the last piece gives only what
    // completes the file, and the two bytes behind that are taken as its check value.
    label: 'a piece holding more than the total needs', args: ['--data-counts', '2000,3000'],
    damage: (out) => {
      const exe = fs.readFileSync(path.join(out, 'sample.exe'));
      exe.writeUInt32BE(4900, 53254);
      fs.writeFileSync(path.join(out, 'sample.exe'), exe);
    },
    asked: ['W6'], outcome: 'finished', bytes: 4900,
  },
  // With a recovery file: a piece rebuilt whether lost or damaged (a changed byte, and two
  // that only the CRC-64 sees); No leads to today's question; a second lost piece gets
  // today's question; a damaged recovery file is ignored.
  {
    label: 'a lost piece rebuilt from the recovery file', size: 6200, args: ['--data-counts', '2000,3000,1200', '--recovery'],
    remove: ['sample.d02'], asked: ['R1'], outcome: 'finished',
  },
  {
    label: 'a lost last piece rebuilt, pieces of different lengths', size: 6200, args: ['--data-counts', '2000,3000,1200', '--recovery'],
    remove: ['sample.d03'], asked: ['R1'], outcome: 'finished',
  },
  {
    // For every 1024 bytes the rebuild reads the recovery file's table and parity data and
    // every other piece's data back: none of that may fetch a whole slice again, nor send
    // the sink a write of its own.
    label: 'a lost piece of a larger set rebuilt, read and written about once', size: 600000,
    args: ['--data-counts', '200000,200000,200000', '--recovery'], remove: ['sample.d02'], asked: ['R1'], outcome: 'finished',
    most: { served: 1500000, writes: 160 },
  },
  {
    label: 'a damaged first piece rebuilt', size: 6200, args: ['--data-counts', '2000,3000,1200', '--recovery'],
    damage: (out) => flip(path.join(out, 'sample.exe'), 53248 + 60, [1]), asked: ['R2'], outcome: 'finished',
  },
  {
    label: 'a damage only the CRC-64 sees, rebuilt', size: 6200, args: ['--data-counts', '2000,3000,1200', '--recovery'],
    damage: (out) => flip(path.join(out, 'sample.d02'), 13 + 700, crc16Blind), asked: ['R2'], outcome: 'finished',
  },
  {
    // Two recovery files: the first piece damaged and a later one lost, NAME.d00 lost too.
    label: 'two recovery files: two pieces rebuilt, the second row alone among them', size: 6503,
    args: ['--data-counts', '2001,1500,1500,1502', '--recovery=3'], remove: ['sample.d03', 'sample.d00'],
    damage: (out) => flip(path.join(out, 'sample.exe'), 53248 + 60, [1]), asked: ['R2', 'R1'], outcome: 'finished',
    verdict: 'この分割ファイルは、回復ファイル sample.d00.02、sample.d00.03 を使えば復元できます。sample.exe、sample.d03 は' +
      'ないか、そのままでは使えませんが、回復ファイルから作り直せます（ほかのファイルと回復ファイルの内容は正しいことを確かめました）。',
  },
  {
    label: 'two pieces lost: No to the rebuild, then today\'s question', size: 6500, args: ['--data-counts', '2000,1500,1500,1500', '--recovery'],
    remove: ['sample.d02', 'sample.d04'], answers: { R1: 'no', N1: 'cancel' }, asked: ['R1', 'N1'], outcome: 'stopped', bytes: 2000,
  },
  {
    // Damage beyond the rebuilt range, which only the parity data's own check sees: the
    // rebuild is decided by its range's CRC-64 alone, and the range is right.
    label: 'damaged parity data beyond the rebuilt range: the range\'s CRC-64 decides, restored', size: 6200,
    args: ['--data-counts', '2000,3000,1200', '--recovery'],
    remove: ['sample.d03'], damage: (out) => flip(path.join(out, 'sample.d00'), 102400 + 2500, [1]),
    asked: ['R1'], outcome: 'finished',
  },
  {
    // Damage inside it: the rebuilt range fails its CRC-64 and the restore stops.
    label: 'damaged parity data inside the rebuilt range: the rebuild fails, stopped', size: 6200,
    args: ['--data-counts', '2000,3000,1200', '--recovery'],
    remove: ['sample.d03'], damage: (out) => flip(path.join(out, 'sample.d00'), 102400 + 500, [1]),
    asked: ['R1', 'R3'], outcome: 'stopped', content: false,
  },
  {
    label: 'a recovery file with a damaged header is ignored', args: ['--data-counts', '2000,3000', '--recovery'],
    damage: (out) => flip(path.join(out, 'sample.d00'), 20, [1]), asked: [], outcome: 'finished',
  },
  {
    // The second piece of another split of the same file and identifier: its data count is
    // not the table's, and neither is its CRC-64. No for that piece holds for the piece:
    // its check fails later without a second offer.
    label: 'a refused rebuild is not offered again for the same piece',
    args: ['--data-counts', '2000,2000,1000', '--recovery', '--set-id', '1A2B'],
    damage: (out) => {
      const dir = path.dirname(out);
      const other = path.join(dir, 'other');
      fs.mkdirSync(other);
      execFileSync(splitTool, ['--stub', path.join(dir, 'stub.bin'), '--out', other, '--base', 'sample', '--name',
        'sample.txt', '--data-counts', '2000,3000', '--set-id', '1A2B', path.join(dir, 'input.bin')], { stdio: 'pipe' });
      fs.copyFileSync(path.join(other, 'sample.d02'), path.join(out, 'sample.d02'));
    },
    answers: { R2: 'no' }, asked: ['R2', 'W6'], outcome: 'finished',
  },
  // The CRC-64 in each piece's own header: a change the CRC-16 cannot see is caught as a
  // bad check value is, and a set made without the record passes it as before.
  {
    label: 'a damage only the data-check record sees, forced through', args: ['--data-counts', '2000,1500,1500'],
    damage: (out) => flip(path.join(out, 'sample.d02'), 23 + 700, crc16Blind), asked: ['W5'], outcome: 'finished',
    content: false,
  },
  {
    label: 'a damage only the data-check record sees, in the last piece', args: ['--data-counts', '2000,1500,1500'],
    damage: (out) => flip(path.join(out, 'sample.d03'), 23 + 10, crc16Blind), asked: ['W6'], outcome: 'finished',
    content: false,
  },
  {
    label: 'a wrong data-check record, refused', args: ['--data-counts', '2000,1500,1500', '--bad-data-check', '1'],
    answers: { W5: 'no' }, asked: ['W5'], outcome: 'stopped', bytes: 2000,
  },
  {
    label: 'a set without the record: a damage the CRC-16 cannot see passes as before',
    args: ['--data-counts', '2000,1500,1500', '--no-data-check'],
    damage: (out) => flip(path.join(out, 'sample.d02'), 13 + 700, crc16Blind), asked: [], outcome: 'finished', content: false,
  },
  {
    // A recovery file of an earlier split of another file of the same name, size, time
    // and identifier: the first piece's own CRC-64 is not its table's, and it is ignored.
    label: 'a recovery file whose table does not state the first piece\'s CRC-64 is ignored',
    args: ['--data-counts', '2000,3000', '--recovery', '--set-id', '1A2B', '--no-time'],
    damage: (out) => {
      const dir = path.dirname(out);
      const stale = fs.readFileSync(path.join(out, 'sample.d00'));
      flip(path.join(dir, 'input.bin'), 100, [1]);
      execFileSync(splitTool, ['--stub', path.join(dir, 'stub.bin'), '--out', out, '--base', 'sample', '--name',
        'sample.txt', '--data-counts', '2000,3000', '--set-id', '1A2B', '--no-time', path.join(dir, 'input.bin')],
      { stdio: 'pipe' });
      fs.writeFileSync(path.join(out, 'sample.d00'), stale);
    },
    asked: [], outcome: 'finished', content: false,
  },
];

for (const c of cases) {
  test(c.label, async () => {
    const dir = tempDir();
    try {
      const set = makeSet(dir, { name: c.name, size: c.size, args: c.args });
      if (c.damage) c.damage(set.out);
      for (const name of c.remove || []) fs.rmSync(path.join(set.out, name));
      let withheld = null;
      if (c.withhold) {
        withheld = path.join(dir, c.withhold);
        fs.renameSync(path.join(set.out, c.withhold), withheld);
      }
      const files = await filesOf(set.out);
      const info = await P.readFirstPiece(files.get('sample.exe'), 'sample.exe');
      assert.strictEqual(info.error, undefined);
      for (const [key, value] of Object.entries(c.info || {})) {
        const got = key === 'stamp' ? P.timeStampText(info) : info[key];
        assert.strictEqual(got, value, key);
      }

      // The check reads as the tool's, on the same files.
      const check = await P.runSet(info, files, { sink: null, ask: async (id) => P.checkAnswer(id), sliceSize: 4096 });
      assert.deepStrictEqual(P.checkReport(info, check), toolCheck(set.exe));
      if (c.verdict) assert.strictEqual(P.checkVerdict(info, check), c.verdict);

      const asked = [];
      let restored = Buffer.alloc(0);
      let at = 0;
      let writes = 0;
      const put = (d, position) => {
        if (position + d.length > restored.length) restored = Buffer.concat([restored, Buffer.alloc(position + d.length - restored.length)]);
        restored.set(d, position);
      };
      const run = await P.runSet(info, files, {
        sink: {
          write: async (d, source, position) => {
            if (++writes === c.failWrite) throw new Error('disk full');
            if (position !== undefined) return put(d, position);
            // Copied bytes come with the slice of the chosen file they were read from.
            assert.ok(source, 'an appended slice names no file it was copied from');
            assert.ok(Buffer.from(await source.arrayBuffer()).equals(d), 'the slice of the file differs from the bytes');
            put(d, at);
            at += d.length;
          },
          seek: (to) => {
            at = to;
          },
        },
        sliceSize: 4096,
        ask: async (id) => {
          asked.push(id);
          if (id === 'N1' && withheld) files.set(c.withhold, await fs.openAsBlob(withheld));
          return (c.answers || {})[id] || { W5: 'yes', N3: 'yes', N1: 'ok', N2: 'cancel' }[id] || 'ok';
        },
      });
      assert.deepStrictEqual(asked, c.asked);
      assert.strictEqual(run.outcome, c.outcome);
      if (c.most) assert.deepStrictEqual([run.served <= c.most.served, writes <= c.most.writes], [true, true], `served ${run.served}, ${writes} writes`);
      if (c.content === false) return;
      const expected = set.data.subarray(0, c.bytes ?? set.data.length);
      assert.strictEqual(restored.length, expected.length);
      assert.ok(restored.equals(expected), 'restored bytes differ');
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
}

test('a total size of 2^31 or more: eight-byte size integer, grouped, then the next piece asked for', async () => {
  // parcelon-split would need a 2 GiB input for this header, so the first piece is built
  // here: marker, a byte, total 2^31 + 5 (8 bytes), a byte, piece length, identifier,
  // a name record, the end tag, five data bytes and their check value.
  const data = Buffer.from('hello');
  const name = Buffer.from('big.bin');
  const header = Buffer.concat([Buffer.from('-PQ3-\0'), Buffer.from([0x80, 0, 0, 0, 0, 0, 0, 5]), Buffer.from([0]),
    Buffer.alloc(4), Buffer.from([0x12, 0x34, 1, name.length]), name, Buffer.from([0])]);
  header.writeUInt32BE(header.length + data.length, 15);
  const crc = Buffer.alloc(2);
  crc.writeUInt16LE(await crc16(0, data));
  const exe = new Blob([Buffer.alloc(53248), header, data, crc]);
  const info = await P.readFirstPiece(exe, 'big.exe');
  assert.strictEqual(info.totalSize, 2 ** 31 + 5);
  assert.strictEqual(info.infoText, '分割元ファイル big.bin\nサイズ 2,147,483,653 バイト');
  assert.strictEqual(info.firstDataCount, 5);
  const asked = [];
  const run = await P.runSet(info, new Map([['big.exe', exe]]), {
    sink: { write: async () => {} },
    ask: async (id, caption, text) => (asked.push(text), 'cancel'),
  });
  assert.deepStrictEqual(asked, ['次に big.d02 を読み込みます。']);
  assert.strictEqual(run.bytes, 5);
});

test('the recovery file as parcelon-split --recovery writes it, and CRC-64/XZ', async () => {
  const crc64 = (crc, bytes) => P.rules.crc64(crc, bytes);
  assert.strictEqual(await crc64(0n, Buffer.from('123456789')), 0x995dc9bbdf1939fan);
  assert.strictEqual(await crc64(await crc64(0n, Buffer.from('12345')), Buffer.from('x6789').subarray(1)), 0x995dc9bbdf1939fan);
  const dir = tempDir();
  try {
    const counts = [2000, 3000, 1100];
    const set = makeSet(dir, { size: 6100, args: ['--data-counts', counts.join(), '--recovery=2', '--time', '2024-03-15T13:45:30'] });
    const d00 = path.join(set.out, 'sample.d00');
    const files = await filesOf(set.out);
    const info = await P.readFirstPiece(files.get('sample.exe'), 'sample.exe');
    // The engine takes it for this set, with its piece table.
    const plan = await P.planPieces(info, files);
    assert.deepStrictEqual([plan.recovery.name, plan.recovery.rec.pieceCount, plan.recovery.rec.counts, plan.estimated],
      ['sample.d00', 3, counts, false]);
    const without = await P.readRecoveryInfo(await fs.openAsBlob(d00), 'sample.d00');
    assert.deepStrictEqual([without.exeName, without.infoText, P.timeStampText(without)],
      ['sample.exe', info.infoText, '更新日時 2024/03/15 13:45:30 (UTC)']);
    // A later recovery file stands in for the executable as well.
    const later = await P.readRecoveryInfo(await fs.openAsBlob(d00 + '.02'), 'sample.d00.02');
    assert.deepStrictEqual([later.exeName, later.infoText], ['sample.exe', info.infoText]);
    // Each row: a change to the file that its header check must refuse (NAME.d00 alone:
    // the later one would serve in its place).
    files.delete('sample.d00.02');
    const bytes = fs.readFileSync(d00);
    const rows = [['signature', 1], ['piece count', 12], ['name', 56], ['a table entry', bytes.length - 3]];
    const refused = async (blob) => {
      files.set('sample.d00', blob);
      const { recovery } = await P.planPieces(info, files);
      return [recovery.present, recovery.rec];
    };
    for (const [label, offset] of rows) {
      const changed = Buffer.from(bytes);
      changed[offset] ^= 1;
      assert.deepStrictEqual(await refused(new Blob([changed])), [true, null], label);
    }
    assert.deepStrictEqual(await refused(new Blob([bytes.subarray(0, bytes.length - 1)])), [true, null], 'cut short');
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('stored names and piece names', async () => {
  const cp932 = (hex) => Uint8Array.from(Buffer.from(hex.replace(/ /g, ''), 'hex'));
  const names = [
    ['95 5C 2E 74 78 74', true], // 表.txt: its trail byte 0x5C is no separator
    ['61 5C 62', false], ['2E 2E', false], ['4E 55 4C 2E 74 78 74', false], ['43 4F 4D 31', false],
    ['63 3A 78', false], ['81', false], ['', false], ['43 4F 4D 30', true],
  ];
  for (const [hex, plain] of names) assert.strictEqual(await P.rules.isPlainFileName(cp932(hex)), plain, hex);
  const pieceNames = [];
  for (const n of [2, 99, 100, 0]) pieceNames.push(await P.rules.pieceName('資料.exe', n));
  assert.deepStrictEqual(pieceNames, ['資料.d02', '資料.d99', '資料.d100', '資料.d00']);
  assert.strictEqual(await P.rules.pieceName('Data', 2), 'Data.d02');
});

test('CRC-16 check values, whole, in two calls and from an odd offset', async () => {
  const text = Buffer.from('x123456789abc');
  assert.strictEqual(await crc16(0, text.subarray(1, 10)), 0x31c3);
  assert.strictEqual(await crc16(await crc16(0, text.subarray(1, 5)), text.subarray(5, 10)), 0x31c3);
  assert.strictEqual(await crc16(0, text.subarray(10)), 0x9dd6);
  assert.strictEqual(await crc16(0, new Uint8Array(0)), 0);
  // Runs long enough for the engine's many-bytes-a-step tables, from odd offsets and in
  // pieces of odd lengths, against one bit at a time.
  const data = Uint8Array.from({ length: 4133 }, (_, i) => (i * 167 + (i >> 5)) & 0xff);
  const bitwise16 = (bytes) => bytes.reduce((v, b) => {
    v ^= b << 8;
    for (let k = 0; k < 8; k++) v = v & 0x8000 ? ((v << 1) ^ 0x1021) & 0xffff : (v << 1) & 0xffff;
    return v;
  }, 0);
  const bitwise64 = (bytes) => ~bytes.reduce((v, b) => {
    v ^= BigInt(b);
    for (let k = 0; k < 8; k++) v = v & 1n ? (v >> 1n) ^ 0xc96c5795d7870f42n : v >> 1n;
    return v;
  }, ~0n & 0xffffffffffffffffn) & 0xffffffffffffffffn;
  for (const [from, cut] of [[0, 2048], [3, 17], [5, 4000]]) {
    const run = data.subarray(from);
    assert.strictEqual(await crc16(await crc16(0, run.subarray(0, cut)), run.subarray(cut)), bitwise16(run), `CRC-16 from ${from}`);
    assert.strictEqual(await P.rules.crc64(await P.rules.crc64(0n, run.subarray(0, cut)), run.subarray(cut)), bitwise64(run), `CRC-64 from ${from}`);
  }
});

// The page's reader and the program's (parcelon-restore --check) on the same files: every
// input of the fuzz targets (the seed corpora tests/fuzz/seeds.sh makes, the kept
// regressions and, with PARCELON_FUZZ_CORPUS, a corpus a fuzz run grew) and a table of
// hand-damaged first pieces must give the same report, line for line.
const fuzzDir = path.resolve(__dirname, '..', 'fuzz');
const separator = Buffer.from('#PIECE#');

// The CRC-16 of the piece target's first piece's data, by the engine (before the test).
let pieceTargetCrc = null;

// The files of a set as each fuzz target makes them from one input.
const setOfInput = {
  fuzz_header: (input) => [input],
  // The piece target's own first piece: 600 of 3,600 bytes, set identifier "ZQ".
  fuzz_piece: (input) => {
    const data = Buffer.from(Array.from({ length: 600 }, (_, i) => (i * 7 + 3) & 0xff));
    const name = Buffer.from('piece.bin');
    const head = Buffer.concat([Buffer.from('-PQ3-\0'), Buffer.from([0, 0, 0x0e, 0x10, 0]), Buffer.alloc(4),
      Buffer.from('ZQ'), Buffer.from([1, name.length]), name, Buffer.from([0])]);
    head.writeUInt32BE(head.length + data.length, 11);
    const crc = Buffer.alloc(2);
    crc.writeUInt16LE(pieceTargetCrc);
    return [Buffer.concat([head, data, crc]), input];
  },
  // Three control bytes (faults and answers of the whole-run target, no matter to a
  // check), then the executable's part and up to three piece files between separators.
  fuzz_run: (input) => {
    if (input.length < 3) return null;
    const parts = [];
    let rest = input.subarray(3);
    for (let at; parts.length < 3 && (at = rest.indexOf(separator)) >= 0; rest = rest.subarray(at + separator.length))
      parts.push(rest.subarray(0, at));
    return [...parts, rest];
  },
};

// First pieces damaged by hand: marker, a byte, total, a byte, piece length, identifier,
// then the records given, with the data and check value of "abc".
function firstPiece(records, { total = [0, 0, 0, 3] } = {}) {
  const head = Buffer.concat([Buffer.from('-PQ3-\0'), Buffer.from(total), Buffer.from([0]), Buffer.alloc(4),
    Buffer.from([0x12, 0x34]), Buffer.from(records)]);
  head.writeUInt32BE(head.length + 3, 6 + total.length + 1);
  return Buffer.concat([head, Buffer.from('abc'), Buffer.from([0xd6, 0x9d])]);
}
const nameRecord = (text) => [1, Buffer.from(text, 'latin1').length, ...Buffer.from(text, 'latin1')];
const damagedHeaders = [
  ['a name with a zero byte keeps what comes before it', firstPiece([...nameRecord('ab.txt\0junk'), 0])],
  ['a name that begins with a zero byte', firstPiece([...nameRecord('\0ab.txt'), 0])],
  ['no name record', firstPiece([0])],
  ['a name of 260 bytes', firstPiece([1, 0x80, 260 - 128, ...Buffer.alloc(260, 0x61), 0])],
  ['a device name with a space before its dot', firstPiece([...nameRecord('NUL .txt'), 0])],
  ['a lead byte before 0x7F', firstPiece([...nameRecord('\x81\x7f.txt'), 0])],
  ['no end tag before the file ends', firstPiece([...nameRecord('a.txt'), 2, 1]).subarray(0, 36)],
  ['a record length cut by the file end', Buffer.concat([firstPiece([...nameRecord('a.txt'), 0]).subarray(0, 30), Buffer.from([2, 0x85])])],
  ['a skip past the file end', firstPiece([...nameRecord('a.txt'), 2, 0xff, 0xff, 0])],
  ['the largest stored size, beyond a signed 64-bit value', firstPiece([...nameRecord('a.txt'), 0], { total: [0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff] })],
  ['a second, shorter name over the first', firstPiece([...nameRecord('longer.txt'), ...nameRecord('b.x'), 0])],
];

test('the page and the program agree on every fuzz input and on damaged headers', { timeout: 600000 }, async () => {
  pieceTargetCrc = await crc16(0, Buffer.from(Array.from({ length: 600 }, (_, i) => (i * 7 + 3) & 0xff)));
  const inputs = [];
  const scratch = tempDir();
  try {
    const seeds = path.join(scratch, 'corpus');
    execFileSync(path.join(fuzzDir, 'seeds.sh'), [splitTool, seeds, scratch], { stdio: 'pipe' });
    const corpora = [seeds, path.join(fuzzDir, 'regressions')];
    if (process.env.PARCELON_FUZZ_CORPUS) corpora.push(process.env.PARCELON_FUZZ_CORPUS);
    for (const corpus of corpora)
      for (const target of Object.keys(setOfInput)) {
        const folder = path.join(corpus, target);
        if (!fs.existsSync(folder)) continue;
        for (const name of fs.readdirSync(folder)) {
          const files = setOfInput[target](fs.readFileSync(path.join(folder, name)));
          if (files) inputs.push({ label: `${path.basename(corpus)}/${target}/${name}`, files });
        }
      }
    assert.ok(inputs.length >= 30, `only ${inputs.length} fuzz inputs`);
    for (const [label, first] of damagedHeaders) inputs.push({ label, files: [first] });

    for (const { label, files } of inputs) {
      const dir = fs.mkdtempSync(path.join(scratch, 'set-'));
      const names = files.map((_, i) => (i === 0 ? 'Data.exe' : `Data.d${String(i + 1).padStart(2, '0')}`));
      fs.writeFileSync(path.join(dir, 'Data.exe'), Buffer.concat([Buffer.alloc(53248), files[0]]));
      files.slice(1).forEach((f, i) => fs.writeFileSync(path.join(dir, names[i + 1]), f));
      const program = toolCheck(path.join(dir, 'Data.exe')).map((l) => l.split(dir + path.sep).join(''));
      const blobs = await filesOf(dir);
      const info = await P.readFirstPiece(blobs.get('Data.exe'), 'Data.exe');
      const page = info.error
        ? [`  Data.exe  refused at start-up: ${info.error.replace('\n', ' ')}`, 'not sound: Data.exe is refused at start-up (0 bytes read)']
        : P.checkReport(info, await P.runSet(info, blobs, { sink: null, ask: async (id) => P.checkAnswer(id) }));
      assert.deepStrictEqual(page, program, label);
      fs.rmSync(dir, { recursive: true });
    }
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
});

test('a header that ends more than 2 GiB behind the first piece is damaged, read in flat memory', async () => {
  // Records of 32,895 bytes skipped each, in a sparse file, up to an end tag past 2 GiB.
  const dir = tempDir();
  try {
    const exe = path.join(dir, 'Data.exe');
    const head = firstPiece([...nameRecord('a.txt')]).subarray(0, 24);
    const fd = fs.openSync(exe, 'w');
    fs.writeSync(fd, head, 0, head.length, 53248);
    let at = 53248 + head.length;
    const record = Buffer.from([2, 0xff, 0xff]);
    for (; at < 2 ** 31 + 53248; at += 3 + 32895) fs.writeSync(fd, record, 0, 3, at);
    fs.writeSync(fd, Buffer.from([0, 0x61, 0x62, 0x63, 0, 0]), 0, 6, at);
    fs.closeSync(fd);
    const program = toolCheck(exe).map((l) => l.split(dir + path.sep).join(''));
    assert.match(program[0], /refused at start-up/);
    const info = await P.readFirstPiece(await fs.openAsBlob(exe), 'Data.exe');
    assert.strictEqual(info.error, 'ファイルが壊れています。\n[Data.exe]');
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('the piece list lists no piece that cannot exist', async () => {
  // Three pieces, the last one short; each row withholds some and expects the list.
  const rows = [
    [[], ['sample.exe', 'sample.d02', 'sample.d03'], 3, false],
    [['sample.d02'], ['sample.exe', 'sample.d02', 'sample.d03'], 3, true],
    [['sample.d03'], ['sample.exe', 'sample.d02', 'sample.d03'], 3, true],
    [['sample.d02', 'sample.d03'], ['sample.exe', 'sample.d02', 'sample.d03'], 3, true],
  ];
  const dir = tempDir();
  try {
    const set = makeSet(dir, { size: 200000, args: ['--piece-size', '100000'] });
    for (const [withheld, names, count, estimated] of rows) {
      const files = await filesOf(set.out);
      for (const name of withheld) files.delete(name);
      const info = await P.readFirstPiece(files.get('sample.exe'), 'sample.exe');
      const plan = await P.planPieces(info, files);
      assert.deepStrictEqual([plan.list.map((p) => p.name), plan.count, plan.estimated], [names, count, estimated], withheld.join());
      assert.deepStrictEqual(plan.list.filter((p) => !p.present).map((p) => p.name), withheld);
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
