// tests/web/logic.test.js: the restore page's logic on sound and damaged sets made by
// parcelon-split: the questions it asks, the bytes it restores and its check report,
// which must read as parcelon-restore --check prints it for the same files.
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const P = require('../../web/parcelon.js');
const { tempDir, makeSet, toolCheck, filesOf } = require('./sets.js');

const truncate = (file, size) => fs.truncateSync(file, size);

// Each set: how it is made and damaged, the answers given, the questions expected in
// order, how the restore ends and how many bytes it gives (null: the whole file).
const cases = [
  { label: 'sound, three pieces', args: ['--piece-size', '60000'], size: 120000, asked: [], outcome: 'finished' },
  {
    label: 'the worked example: 2,000 + 3,000 with a time stamp',
    args: ['--data-counts', '2000,3000', '--time', '2024-03-15T13:45:30'], asked: [], outcome: 'finished',
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
];

for (const c of cases) {
  test(c.label, async () => {
    const dir = tempDir();
    try {
      const set = makeSet(dir, { name: c.name, size: c.size, args: c.args });
      if (c.damage) c.damage(set.out);
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

      const asked = [];
      const chunks = [];
      const run = await P.runSet(info, files, {
        sink: {
          write: async (d, source) => {
            if (chunks.length + 1 === c.failWrite) throw new Error('disk full');
            assert.ok(Buffer.from(await source.arrayBuffer()).equals(d), 'the slice of the file differs from the bytes');
            chunks.push(Buffer.from(d));
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
      const restored = Buffer.concat(chunks);
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
  crc.writeUInt16LE(P.crc16(0, data));
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

test('stored names and piece names', () => {
  const cp932 = (hex) => Uint8Array.from(Buffer.from(hex.replace(/ /g, ''), 'hex'));
  const names = [
    ['95 5C 2E 74 78 74', true], // 表.txt: its trail byte 0x5C is no separator
    ['61 5C 62', false], ['2E 2E', false], ['4E 55 4C 2E 74 78 74', false], ['43 4F 4D 31', false],
    ['63 3A 78', false], ['81', false], ['', false], ['43 4F 4D 30', true],
  ];
  for (const [hex, plain] of names) assert.strictEqual(P.isPlainFileName(cp932(hex)), plain, hex);
  assert.deepStrictEqual([2, 99, 100].map((n) => P.pieceName('資料.exe', n)), ['資料.d02', '資料.d99', '資料.d100']);
  assert.strictEqual(P.pieceName('Data', 2), 'Data.d02');
});

test('CRC-16 check values, whole, in two calls and from an odd offset', () => {
  const text = Buffer.from('x123456789abc');
  assert.strictEqual(P.crc16(0, text.subarray(1, 10)), 0x31c3);
  assert.strictEqual(P.crc16(P.crc16(0, text.subarray(1, 5)), text.subarray(5, 10)), 0x31c3);
  assert.strictEqual(P.crc16(0, text.subarray(10)), 0x9dd6);
  assert.strictEqual(P.crc16(0, new Uint8Array(0)), 0);
});
