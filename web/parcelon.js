// web/parcelon.js: the restore page: reads a split set's pieces inside the browser with
// the same checks and questions as the Windows program, streams the file into a chosen
// destination or into the browser's own storage (offered then as a download), or as a
// last resort assembles it in memory, and checks a set without writing anything.
// The logic is plain functions on the global Parcelon object (and module.exports under
// Node, for the tests); the page's wiring at the end runs only where there is a document,
// and in a dedicated worker the same file serves the writes into the browser's storage.
(function (root) {
  'use strict';

  const kFirstPieceOffset = 53248;
  const kFirstFieldsOffset = kFirstPieceOffset + 6;
  const kBlockSize = 1024;
  const kMarker = [0x2d, 0x50, 0x51, 0x33, 0x2d]; // "-PQ3-"
  // The marker search reads blocks of 1024 bytes that overlap by 4, one less than the
  // marker, and gives up after 100 blocks.
  const kSearchBlocks = 100;
  const kSearchStep = kBlockSize - (kMarker.length - 1);
  const kSearchSpan = (kSearchBlocks - 1) * kSearchStep + kBlockSize;
  const kMaxNameLength = 259;
  const kNameTag = 1;
  const kTimeStampTag = 3;
  // The data-check record, in any piece's header: the CRC-64/XZ of that piece's data, 8
  // bytes little-endian. A record of this tag with another length is none.
  const kDataCheckTag = 0x40;
  const kDataCheckLength = 8;
  // Data move in slices of this size: a multiple of the block size, so that a piece that
  // ends early keeps exactly the whole blocks before its end, as on Windows.
  const kSliceSize = 8 * 1024 * 1024;
  // Where a browser can neither stream into a chosen file nor into its own storage, the
  // file is assembled in memory and offered as a download, up to a size measured per
  // browser: Chromium offered no download at all of 504 MiB held in memory, while 448 MiB
  // went through; Firefox built and offered 3 GiB (with 7.3 GiB of memory in use). Other
  // browsers are not measured and keep Chromium's limit.
  const kMemoryLimits = { chromium: 384 * 1024 * 1024, firefox: 2 * 1024 * 1024 * 1024, other: 384 * 1024 * 1024 };
  const kHeaderWindow = 64 * 1024;
  const kMaxHeaderWindow = 4 * 1024 * 1024;
  // Files in the browser's own storage start with this, so that a visit can remove what
  // an earlier one left behind.
  const kStoragePrefix = 'parcelon-restore-';
  // The piece list gives up on a set it would need more lines than this for.
  const kMaxListedPieces = 9999;
  // A later piece's bytes besides its data, without records: marker, piece length, set
  // identifier, the length integer, the end tag and the check value.
  const kLaterPieceOverhead = 5 + 4 + 2 + 1 + 1 + 2;
  // The recovery file NAME.d00 (its layout is described in format/recovery.h): a fixed
  // header of 56 bytes and the stored name, the parity data at a fixed offset, then the
  // piece table of 16 bytes per piece (data count, CRC-64 of the data).
  const kRecoverySignature = [0x00, 0x50, 0x6e, 0x52, 0x65, 0x63, 0x0d, 0x0a];
  const kRecoveryFixedSize = 56;
  const kRecoveryParityOffset = 102400;

  // The program's texts, as it shows them, where the page repeats its questions.
  const T = {
    damaged: 'ファイルが壊れています。\n[%s]',
    truncated: 'ファイルの終端が欠けています。\n[%s]',
    badIntermediate: 'ファイルの内容が正しくありません。強行しますか？\n[%s]',
    badLast: 'ファイルの内容が正しくありません。\n[%s]',
    nextFile: '次に %s を読み込みます。',
    noPiece: '分割ファイルが異常です。',
    foreign: '「%s」は、\n現在復元中のファイルとは異なります。強行しますか？',
    writeFailed: '復元ファイルへの書き込みに失敗しました。\nディスクの空き容量を確認してください。\n[%s]',
    finished: '復元が終了しました。',
    stopped: '復元を中止しました。',
    info: '分割元ファイル %s\nサイズ %s バイト',
    rebuildMissing: '「%s」が見つかりません。\n回復ファイルから作り直しますか？',
    rebuildUnusable: 'ファイルの内容が正しくありません。\n回復ファイルから作り直しますか？\n[%s]',
    rebuildFailed: '回復ファイルから作り直せませんでした。\n[%s]',
  };
  const kCaption = 'Parcelon';
  const kConfirmCaption = 'Parcelon 復元確認';
  const kNextCaption = 'Parcelon 次のファイル';

  function fill(text, value) {
    return text.replace('%s', () => value);
  }

  // CRC-16/XMODEM (polynomial 0x1021, most significant bit first, start 0), eight bytes
  // a step: table k (at k * 256) gives the CRC of a byte followed by k zero bytes.
  const crcTable = (function () {
    const t = new Uint16Array(8 * 256);
    for (let v = 0; v < 256; v++) {
      let c = v << 8;
      for (let i = 0; i < 8; i++) c = c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1;
      t[v] = c & 0xffff;
    }
    for (let k = 1; k < 8; k++)
      for (let v = 0; v < 256; v++) {
        const p = t[(k - 1) * 256 + v];
        t[k * 256 + v] = ((p << 8) ^ t[p >> 8]) & 0xffff;
      }
    return t;
  })();
  const littleEndian = new Uint8Array(new Uint32Array([1]).buffer)[0] === 1;

  function crc16(crc, bytes) {
    const t = crcTable;
    const n = bytes.length;
    let i = 0;
    // Byte by byte up to a 4-byte boundary, then two 32-bit words a step: far fewer
    // loads than eight single bytes.
    while (i < n && (bytes.byteOffset + i) % 4 !== 0) crc = ((crc << 8) ^ t[(crc >> 8) ^ bytes[i++]]) & 0xffff;
    if (littleEndian) {
      const words = (n - i) >>> 3;
      const u = new Uint32Array(bytes.buffer, bytes.byteOffset + i, words * 2);
      for (let j = 0; j < u.length; j += 2) {
        const a = u[j];
        const b = u[j + 1];
        crc = t[1792 + ((a & 255) ^ (crc >> 8))] ^ t[1536 + (((a >>> 8) & 255) ^ (crc & 255))] ^
          t[1280 + ((a >>> 16) & 255)] ^ t[1024 + (a >>> 24)] ^ t[768 + (b & 255)] ^ t[512 + ((b >>> 8) & 255)] ^
          t[256 + ((b >>> 16) & 255)] ^ t[b >>> 24];
      }
      i += words * 8;
    }
    for (; i < n; i++) crc = ((crc << 8) ^ t[(crc >> 8) ^ bytes[i]]) & 0xffff;
    return crc;
  }

  // CRC-64/XZ (reflected polynomial 0xC96C5795D7870F42, start and final XOR all ones) on
  // two 32-bit halves, eight bytes a step: table k (at k * 256) carries a byte over k more
  // zero bytes. Takes and gives the CRC as a BigInt; 0n for no bytes.
  const crc64Tables = (function () {
    // Signed 32-bit halves throughout: an engine may hold an unsigned value of 2^31 or
    // more as a double, at a third of the speed.
    const lo = new Int32Array(8 * 256);
    const hi = new Int32Array(8 * 256);
    for (let b = 0; b < 256; b++) {
      let l = b;
      let h = 0;
      for (let i = 0; i < 8; i++) {
        const odd = l & 1;
        l = (l >>> 1) | (h << 31);
        h >>>= 1;
        if (odd) {
          l ^= 0xd7870f42;
          h ^= 0xc96c5795;
        }
      }
      lo[b] = l;
      hi[b] = h;
    }
    for (let k = 1; k < 8; k++)
      for (let b = 0; b < 256; b++) {
        const l = lo[(k - 1) * 256 + b];
        const h = hi[(k - 1) * 256 + b];
        lo[k * 256 + b] = ((l >>> 8) | (h << 24)) ^ lo[l & 255];
        hi[k * 256 + b] = (h >>> 8) ^ hi[l & 255];
      }
    return { lo, hi };
  })();

  function crc64(crc, bytes) {
    const { lo: tl, hi: th } = crc64Tables;
    let l = ~Number(crc & 0xffffffffn) | 0;
    let h = ~Number(crc >> 32n) | 0;
    const n = bytes.length;
    let i = 0;
    // (No helper function for the single bytes: one that changed l and h would keep them
    // out of registers for the whole loop, at a third of the speed.)
    for (; i < n && (bytes.byteOffset + i) % 4 !== 0; i++) {
      const x = (l ^ bytes[i]) & 255;
      l = ((l >>> 8) | (h << 24)) ^ tl[x];
      h = (h >>> 8) ^ th[x];
    }
    if (littleEndian) {
      const words = (n - i) >>> 3;
      const u = new Int32Array(bytes.buffer, bytes.byteOffset + i, words * 2);
      for (let j = 0; j < u.length; j += 2) {
        const a = l ^ u[j];
        const b = h ^ u[j + 1];
        l = tl[1792 + (a & 255)] ^ tl[1536 + ((a >>> 8) & 255)] ^ tl[1280 + ((a >>> 16) & 255)] ^ tl[1024 + (a >>> 24)] ^
          tl[768 + (b & 255)] ^ tl[512 + ((b >>> 8) & 255)] ^ tl[256 + ((b >>> 16) & 255)] ^ tl[b >>> 24];
        h = th[1792 + (a & 255)] ^ th[1536 + ((a >>> 8) & 255)] ^ th[1280 + ((a >>> 16) & 255)] ^ th[1024 + (a >>> 24)] ^
          th[768 + (b & 255)] ^ th[512 + ((b >>> 8) & 255)] ^ th[256 + ((b >>> 16) & 255)] ^ th[b >>> 24];
      }
      i += words * 8;
    }
    for (; i < n; i++) {
      const x = (l ^ bytes[i]) & 255;
      l = ((l >>> 8) | (h << 24)) ^ tl[x];
      h = (h >>> 8) ^ th[x];
    }
    return (BigInt(~h >>> 0) << 32n) | BigInt(~l >>> 0);
  }

  function grouped(value) {
    const digits = BigInt(value) < 0n ? (-BigInt(value)).toString() : BigInt(value).toString();
    const sign = BigInt(value) < 0n ? '-' : '';
    return sign + digits.replace(/\B(?=(\d{3})+(?!\d))/g, ',');
  }

  async function readBytes(blob, start, end) {
    if (start >= blob.size || end <= start) return new Uint8Array(0);
    return new Uint8Array(await blob.slice(start, Math.min(end, blob.size)).arrayBuffer());
  }

  const sameId = (a, b) => a[0] === b[0] && a[1] === b[1];

  // Reads header fields from a file as the program reads them from its handle: a read
  // delivers what the file holds and moves the position by that much; a skip may pass the
  // file's end. Bytes come through a window of the file at the position, so a header of
  // any length costs no more memory than one window.
  class HeaderReader {
    constructor(blob, start) {
      this.blob = blob;
      this.pos = start;
      this.window = new Uint8Array(0);
      this.windowStart = 0;
      this.windowSize = kHeaderWindow;
    }
    async take(count) {
      const end = Math.min(this.pos + count, this.blob.size);
      if (end <= this.pos) return new Uint8Array(0);
      if (this.pos < this.windowStart || end > this.windowStart + this.window.length) {
        // A header that needs window after window is no usual one: each window is larger,
        // up to a bound, so that its many reads cost less.
        this.windowStart = this.pos;
        this.window = await readBytes(this.blob, this.pos, this.pos + Math.max(count, this.windowSize));
        this.windowSize = Math.min(this.windowSize * 4, kMaxHeaderWindow);
      }
      const got = this.window.subarray(this.pos - this.windowStart, end - this.windowStart);
      this.pos = end;
      return got;
    }
    skip(count) {
      this.pos += count;
    }
    // A size integer: 4 bytes, or 8 when the first has its top bit set; -1 when short.
    async size() {
      const a = await this.take(4);
      if (a.length < 4) return -1n;
      const high = BigInt(((a[0] << 24) | (a[1] << 16) | (a[2] << 8) | a[3]) >>> 0);
      if (high < 0x80000000n) return high;
      const b = await this.take(4);
      if (b.length < 4) return -1n;
      const low = BigInt(((b[0] << 24) | (b[1] << 16) | (b[2] << 8) | b[3]) >>> 0);
      // A stored value that would pass the largest signed 64-bit value is no size.
      const stored = ((high & 0x7fffffffn) << 32n) + low;
      if (stored > 0x7fffffffffffffffn - 0x80000000n) return -1n;
      return stored + 0x80000000n;
    }
    // A length integer: 1 byte, or 2 when the first has its top bit set; -1 when short.
    async length() {
      const a = await this.take(1);
      if (a.length < 1) return -1;
      if (a[0] < 0x80) return a[0];
      const b = await this.take(1);
      if (b.length < 1) return -1;
      return ((a[0] & 0x7f) << 8) + b[0] + 128;
    }
    // Bytes read without a test: those that do not arrive keep the values given.
    async untested(count, into) {
      into.set(await this.take(count));
      return into;
    }
  }

  // A data-check record's payload as a number; null when the file ends inside it (the next
  // record tag then fails as well).
  async function readDataCheck(r) {
    const bytes = await r.take(kDataCheckLength);
    if (bytes.length < kDataCheckLength) return null;
    let crc = 0n;
    for (let i = kDataCheckLength - 1; i >= 0; i--) crc = (crc << 8n) | BigInt(bytes[i]);
    return crc;
  }

  const isLeadByte = (c) => (c >= 0x81 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfc);
  const isTrailByte = (c) => (c >= 0x40 && c <= 0x7e) || (c >= 0x80 && c <= 0xfc);

  // A stored name must be a plain file name in code page 932: not empty, no folder,
  // drive or stream, no control byte, no device name.
  function isPlainFileName(bytes) {
    if (bytes.length === 0) return false;
    if (bytes.every((c) => c === 0x2e) && bytes.length <= 2) return false;
    for (let i = 0; i < bytes.length; i++) {
      const c = bytes[i];
      if (isLeadByte(c)) {
        if (i + 1 >= bytes.length || !isTrailByte(bytes[i + 1])) return false;
        i++;
        continue;
      }
      if (c < 0x20 || c === 0x5c || c === 0x2f || c === 0x3a) return false;
    }
    let stem = bytes.indexOf(0x2e);
    if (stem < 0) stem = bytes.length;
    while (stem > 0 && bytes[stem - 1] === 0x20) stem--;
    const upper = String.fromCharCode(...bytes.subarray(0, stem)).toUpperCase();
    return !(/^(CON|PRN|AUX|NUL)$/.test(upper) || /^(COM|LPT)[1-9]$/.test(upper));
  }

  // The first piece's header, read from the executable as the Windows program reads it
  // at start-up. Returns { error } for a header that is damaged.
  async function readFirstPiece(blob, exeName) {
    const damaged = { error: fill(T.damaged, exeName), caption: kCaption };
    const r = new HeaderReader(blob, kFirstFieldsOffset);
    const h = { setId: new Uint8Array(2), nameBytes: new Uint8Array(0), year: 0, packedTime: 0, dataCheck: null };
    h.totalSize = await r.size();
    r.skip(1);
    h.pieceLength = await r.size();
    await r.untested(2, h.setId);
    // The name holder of the program: a read that falls short keeps the bytes of the name
    // before, and the name ends at its first zero byte.
    let holder = new Uint8Array(kMaxNameLength + 1);
    for (;;) {
      const tag = await r.take(1);
      if (tag.length < 1) return damaged;
      if (tag[0] === 0) break;
      const length = await r.length();
      if (length < 0) return damaged;
      if (tag[0] === kNameTag) {
        if (length > kMaxNameLength) return damaged;
        holder.set(await r.take(length));
        holder[length] = 0;
      } else if (tag[0] === kTimeStampTag) {
        const stamp = new Uint8Array([h.year & 0xff, h.year >> 8, h.packedTime & 0xff, (h.packedTime >>> 8) & 0xff,
          (h.packedTime >>> 16) & 0xff, h.packedTime >>> 24]);
        await r.untested(6, stamp);
        h.year = stamp[0] | (stamp[1] << 8);
        h.packedTime = (stamp[2] | (stamp[3] << 8) | (stamp[4] << 16) | (stamp[5] << 24)) >>> 0;
      } else if (tag[0] === kDataCheckTag && length === kDataCheckLength) {
        h.dataCheck = await readDataCheck(r);
      } else {
        r.skip(length);
      }
    }
    h.nameBytes = holder.subarray(0, holder.indexOf(0));
    // The program takes the position after the end tag as a 32-bit value: a header that
    // ends there below the first-piece offset or more than 2 GiB behind it is damaged.
    const position = r.pos % 2 ** 32;
    if (position < kFirstPieceOffset || position - kFirstPieceOffset > 0x7fffffff) return damaged;
    if (h.totalSize < 0n || !isPlainFileName(h.nameBytes)) return damaged;
    const headerLength = position - kFirstPieceOffset;
    const name = new TextDecoder('shift_jis').decode(h.nameBytes);
    return {
      exeName,
      name,
      totalSize: Number(h.totalSize),
      totalText: grouped(h.totalSize),
      firstDataCount: Number(h.pieceLength) - headerLength,
      headerLength,
      setId: h.setId,
      nameBytes: h.nameBytes,
      year: h.year,
      packedTime: h.packedTime,
      dataCheck: h.dataCheck,
      infoText: fill(fill(T.info, name), grouped(h.totalSize)),
    };
  }

  // "更新日時 2024/03/15 13:45:30 (UTC)", or null without a valid stored time.
  function timeStampText(info) {
    const t = info.packedTime;
    const f = [t >>> 22, (t >>> 17) & 0x1f, (t >>> 12) & 0x1f, (t >>> 6) & 0x3f, t & 0x3f];
    if (info.year === 0 || f[0] < 1 || f[0] > 12 || f[1] < 1 || f[2] > 23 || f[3] > 59 || f[4] > 59) return null;
    const two = (v) => String(v).padStart(2, '0');
    return `更新日時 ${info.year}/${two(f[0])}/${two(f[1])} ${two(f[2])}:${two(f[3])}:${two(f[4])} (UTC)`;
  }

  // The piece file's name: the executable's name with what follows its last "." replaced
  // by "d" and the number, at least two digits (Data.exe: Data.d02, ..., Data.d100).
  function pieceName(exeName, number) {
    const dot = exeName.lastIndexOf('.');
    const suffix = 'd' + String(number).padStart(2, '0');
    return dot >= 0 ? exeName.slice(0, dot + 1) + suffix : exeName + '.' + suffix;
  }

  // Where the marker starts in a piece file, searched as Windows searches it, or -1.
  // bytes: the file's first bytes (up to the search's reach); size: the file's size.
  function findMarker(bytes, size) {
    for (let k = 1; k <= kSearchBlocks; k++) {
      if (k * kBlockSize >= size) return -1;
      const start = (k - 1) * kSearchStep;
      // The block is searched as text: a zero byte ends it.
      let end = start;
      while (end < start + kBlockSize && end < bytes.length && bytes[end] !== 0) end++;
      for (let i = start; i + kMarker.length <= end; i++) {
        if (bytes[i] === kMarker[0] && bytes[i + 1] === kMarker[1] && bytes[i + 2] === kMarker[2] &&
          bytes[i + 3] === kMarker[3] && bytes[i + 4] === kMarker[4])
          return i;
      }
    }
    return -1;
  }

  // A later piece's header behind its marker: set identifier, data count, where the data
  // start, and whether the file ends before the end tag.
  async function readLaterPiece(blob, headerStart) {
    const r = new HeaderReader(blob, headerStart);
    const h = { setId: new Uint8Array(2), truncated: false, dataCheck: null };
    const pieceLength = await r.size();
    let remaining = pieceLength - 7n - (pieceLength < 0x80000000n ? 4n : 8n);
    await r.untested(2, h.setId);
    remaining -= (await r.length()) < 128 ? 1n : 2n;
    for (;;) {
      const tag = await r.take(1);
      if (tag.length < 1) {
        h.truncated = true;
        return h;
      }
      remaining -= 1n;
      if (tag[0] === 0) break;
      const length = await r.length();
      if (length < 0) {
        h.truncated = true;
        return h;
      }
      remaining -= BigInt((length < 128 ? 1 : 2) + length);
      if (tag[0] === kDataCheckTag && length === kDataCheckLength) h.dataCheck = await readDataCheck(r);
      else r.skip(length);
    }
    h.dataCount = Number(remaining);
    h.dataStart = r.pos;
    return h;
  }

  // The recovery file's header and piece table, read and checked as the program checks
  // them: signature, version, the header's own check over the fixed fields, the name and
  // the table, and data counts that add up to the total size with the parity length as
  // the largest. null for anything else.
  async function readRecovery(blob) {
    if (!blob || blob.size < kRecoveryFixedSize) return null;
    const fixed = await readBytes(blob, 0, kRecoveryFixedSize);
    const v = new DataView(fixed.buffer, fixed.byteOffset, fixed.length);
    if (kRecoverySignature.some((c, i) => fixed[i] !== c) || v.getUint16(8, true) !== 1) return null;
    const count = v.getUint32(12, true);
    const total = v.getBigUint64(16, true);
    const parity = v.getBigUint64(24, true);
    const nameLength = v.getUint16(38, true);
    if (count < 1 || count > 0x7fffffff || total > 0x7fffffffffffffffn || parity > total || nameLength > kMaxNameLength)
      return null;
    const tableAt = kRecoveryParityOffset + Number(parity);
    if (blob.size < tableAt + 16 * count) return null;
    const nameBytes = await readBytes(blob, kRecoveryFixedSize, kRecoveryFixedSize + nameLength);
    const table = await readBytes(blob, tableAt, tableAt + 16 * count);
    const t = new DataView(table.buffer, table.byteOffset, table.length);
    const counts = new Float64Array(count);
    const crcs = new BigUint64Array(count);
    let sum = 0n;
    let largest = 0n;
    for (let i = 0; i < count; i++) {
      const dataCount = t.getBigUint64(16 * i, true);
      if (dataCount > total - sum) return null;
      sum += dataCount;
      if (dataCount > largest) largest = dataCount;
      counts[i] = Number(dataCount);
      crcs[i] = t.getBigUint64(16 * i + 8, true);
    }
    const check = crc64(crc64(crc64(0n, fixed.subarray(0, 48)), nameBytes), table);
    if (sum !== total || largest !== parity || check !== v.getBigUint64(48, true)) return null;
    return {
      blob, setId: fixed.slice(10, 12), pieceCount: count, totalSize: Number(total), parityLength: Number(parity),
      year: v.getUint16(32, true), packedTime: v.getUint32(34, true), nameBytes, parityCrc: v.getBigUint64(40, true),
      counts, crcs,
    };
  }

  // The set's recovery file among the chosen files: { name, present, rec }, rec null unless
  // it is sound and of this set (identifier, total size, name, time stamp and the first
  // piece's data count as the first piece states them); anything else is ignored.
  async function recoveryFor(info, files) {
    const name = pieceName(info.exeName, 0);
    const blob = lookUp(files, name);
    const rec = blob ? await readRecovery(blob) : null;
    const same = (a, b) => a.length === b.length && a.every((c, i) => c === b[i]);
    // A first piece that states its data's CRC-64 takes only the recovery file whose table
    // states the same: a recovery file left from another split of the same file is not it.
    const usable = rec && sameId(rec.setId, info.setId) && rec.totalSize === info.totalSize && rec.year === info.year &&
      rec.packedTime === info.packedTime && same(rec.nameBytes, info.nameBytes) && rec.counts[0] === info.firstDataCount &&
      (info.dataCheck == null || rec.crcs[0] === info.dataCheck);
    return { name, present: Boolean(blob), rec: usable ? rec : null };
  }

  // Without the executable: what the first piece would state, from the recovery file
  // fileName (NAME.d00), whose set's executable is taken to be NAME.exe. { error } when the
  // file is no sound recovery file.
  async function readRecoveryInfo(blob, fileName) {
    const rec = await readRecovery(blob);
    if (!rec || !isPlainFileName(rec.nameBytes)) return { error: fill('回復ファイルが壊れているか、回復ファイルではありません。\n[%s]', fileName) };
    const dot = fileName.lastIndexOf('.');
    const exeName = (dot >= 0 ? fileName.slice(0, dot) : fileName) + '.exe';
    const name = new TextDecoder('shift_jis').decode(rec.nameBytes);
    return {
      exeName, name, totalSize: rec.totalSize, totalText: grouped(rec.totalSize), firstDataCount: rec.counts[0],
      headerLength: 0, setId: rec.setId, nameBytes: rec.nameBytes, year: rec.year, packedTime: rec.packedTime,
      infoText: fill(fill(T.info, name), grouped(rec.totalSize)), noExe: true,
    };
  }

  // Finds a chosen file by name; Windows names match regardless of case.
  function lookUp(files, name) {
    if (files.has(name)) return files.get(name);
    const lower = name.toLowerCase();
    for (const [key, blob] of files) if (key.toLowerCase() === lower) return blob;
    return null;
  }


  // What the page knows of the set before a run: for each piece its name, whether its
  // file was chosen and, where it could be read, its data count. The number of pieces
  // follows from the data counts read; a piece that is missing or unreadable is taken to
  // hold as much as the fullest piece at hand, or as a piece file of the executable's size
  // would (a splitter cuts every piece file to one size, the executable's stub included),
  // and the plan is then an estimate, on the low side rather than with pieces that do not
  // exist. count is null when even that gives no number.
  // With a usable recovery file the plan is its piece table, exact.
  async function planPieces(info, files) {
    const list = [{ name: info.exeName, present: !info.noExe, dataCount: info.firstDataCount }];
    const recovery = await recoveryFor(info, files);
    if (recovery.rec) {
      const counts = recovery.rec.counts;
      for (let n = 2; n <= counts.length; n++) {
        const name = pieceName(info.exeName, n);
        list.push({ name, present: Boolean(lookUp(files, name)), dataCount: counts[n - 1] });
      }
      return { list, count: list.length, estimated: false, recovery };
    }
    const counts = new Map();
    const exe = lookUp(files, info.exeName);
    let full = Math.max(info.firstDataCount, exe ? exe.size - kLaterPieceOverhead : 0, 0);
    for (let n = 2; n <= kMaxListedPieces; n++) {
      const blob = lookUp(files, pieceName(info.exeName, n));
      if (!blob) {
        if (!lookUp(files, pieceName(info.exeName, n + 1))) break;
        continue;
      }
      const start = findMarker(await readBytes(blob, 0, kSearchSpan), blob.size);
      const h = start < 0 ? null : await readLaterPiece(blob, start + kMarker.length);
      if (h && !h.truncated && h.dataCount > 0) {
        counts.set(n, h.dataCount);
        full = Math.max(full, h.dataCount);
      }
    }
    let sum = Math.max(info.firstDataCount, 0);
    let estimated = false;
    for (let n = 2; sum < info.totalSize; n++) {
      const name = pieceName(info.exeName, n);
      let count = counts.get(n);
      if (count === undefined) {
        estimated = true;
        count = full;
      }
      if (count <= 0 || n > kMaxListedPieces) {
        // No number: only the pieces at hand are listed.
        while (list.length > 1 && !list[list.length - 1].present) list.pop();
        return { list, count: null, estimated: true, recovery };
      }
      list.push({ name, present: Boolean(lookUp(files, name)), dataCount: count });
      sum += count;
    }
    return { list, count: list.length, estimated, recovery };
  }

  // Reads a stretch of a file front to back through its stream, in parts of any size.
  // Where the stream lets the reader bring its own buffer, the bytes go straight into the
  // run's buffers: faster, and no chunk is left for the garbage collector (a browser that
  // collects late otherwise holds hundreds of MiB of read chunks).
  class StreamReader {
    constructor(blob, start, end) {
      const stream = blob.slice(start, end).stream();
      try {
        this.byob = stream.getReader({ mode: 'byob' });
      } catch (e) {
        this.reader = stream.getReader();
      }
      this.chunk = null;
      this.offset = 0;
    }
    // The next count bytes, fewer only where the stretch ends, at the start of buffer
    // (which a stream of its own buffers takes over: the bytes' view names the buffer).
    async read(count, buffer) {
      let filled = 0;
      if (this.byob) {
        while (filled < count) {
          const { value, done } = await this.byob.read(new Uint8Array(buffer, filled, count - filled));
          if (value) buffer = value.buffer;
          if (done) break;
          filled += value.byteLength;
        }
        return new Uint8Array(buffer, 0, filled);
      }
      const out = new Uint8Array(buffer, 0, count);
      while (filled < count) {
        if (!this.chunk || this.offset >= this.chunk.length) {
          const { value, done } = await this.reader.read();
          if (done) break;
          this.chunk = value;
          this.offset = 0;
          continue;
        }
        const n = Math.min(count - filled, this.chunk.length - this.offset);
        out.set(this.chunk.subarray(this.offset, this.offset + n), filled);
        filled += n;
        this.offset += n;
      }
      return out.subarray(0, filled);
    }
    close() {
      (this.byob || this.reader).cancel().catch(() => {});
    }
  }

  // One run over the set: a restore into sink, whose write(bytes, source) takes each slice
  // both as the bytes read and as a Blob slice of their file, or a check when sink is
  // null. The bytes' buffer is the sink's to keep or hand on; a write that gives a buffer
  // back (its promise's value) lets the run read into it again, so that memory stays flat.
  // With a recovery file the sink also takes seek(to, from): the range from..to is left for
  // later and the writes go on at to (bytes of it already written are to be rewritten), and
  // write(bytes, null, position) for the rebuilt range. ask(id, caption, text, buttons)
  // answers each question ('yes', 'no', 'ok', 'cancel', 'retry'); progress(done, total,
  // pieceName) follows the bytes and the piece being read (or rebuilt); cancelled() is
  // tested after every slice.
  // The result: outcome 'finished' | 'stopped' | 'cancelled', the bytes taken, what was
  // found about each piece and, where a file of the recovery file's name is at hand, what
  // the run made of it.
  async function runSet(info, files, options) {
    const { sink, ask, progress = () => {}, cancelled = () => false, sliceSize = kSliceSize } = options;
    const pieces = [];
    const total = info.totalSize;
    let remainingTotal = total;
    let done = 0;
    let piece = null;
    let reader = null;
    const recovery = await recoveryFor(info, files);
    const result = async (outcome) => {
      if (reader) reader.close();
      const run = { outcome, bytes: done, pieces };
      if (recovery.present) {
        run.recovery = { name: recovery.name, usable: Boolean(recovery.rec) };
        // A check reads the parity data through their own check: it rebuilds nothing.
        if (!sink && recovery.rec) run.recovery.parityGood = await parityIsSound(recovery.rec, sliceSize);
        if (recovery.rec) run.recovery.pieceCount = recovery.rec.pieceCount;
      }
      return run;
    };

    // The recovery file's part: the current piece's table entry (-1 past the table), where
    // its data belong by the table, their CRC-64 so far, and the one piece whose range is
    // left for the rebuild after the last piece.
    let rec = recovery.rec;
    let entry = rec ? 0 : -1;
    let pieceStart = 0;
    let crcLong = 0n;
    // The CRC-64 the current piece's own header states, or null.
    let dataCheck = info.dataCheck == null ? null : info.dataCheck;
    let rebuild = null;
    let pending = 0;
    let pendingAtStart = 0;
    let moveTo = null; // the destination moves to the left range's end before its next write
    const sources = []; // for each piece read, its file and where its data start
    const entryCount = () => (rec && entry >= 0 ? rec.counts[entry] : -1);
    const position = () => total - remainingTotal - pending;

    // The current piece's range is left for later: the restore goes on at its end.
    const setAside = () => {
      const count = entryCount();
      rebuild = { index: entry, start: pieceStart, length: count, crc: rec.crcs[entry], piece };
      piece.rebuild = true;
      const end = pieceStart + count;
      pending = pendingAtStart = Math.max(end - (total - remainingTotal), 0);
      moveTo = { from: pieceStart, to: end };
      remainingTotal = total - end;
      pieceRemainder = 0;
      if (reader) reader.close();
      reader = null;
    };
    // Offers to rebuild the current piece, once per run and never again for a piece whose
    // offer was refused; true when the user takes it.
    const offer = async (missing) => {
      if (!rec || rebuild || entryCount() < 0 || piece.refused) return false;
      const text = missing ? fill(T.rebuildMissing, piece.name) : fill(T.rebuildUnusable, piece.name);
      if ((await ask(missing ? 'R1' : 'R2', kConfirmCaption, text, ['yes', 'no'])) === 'no') {
        piece.refused = true;
        return false;
      }
      setAside();
      return true;
    };

    let blob = lookUp(files, info.exeName);
    let pos = kFirstPieceOffset + info.headerLength;
    let pieceRemainder = info.firstDataCount;
    piece = { name: info.exeName, bytes: 0 };
    pieces.push(piece);
    progress(0, total, piece.name);
    // Without the executable the first piece's data come from the recovery file.
    if (info.noExe) {
      piece.missing = true;
      if (!rec) return result('stopped');
      setAside();
    } else {
      sources[0] = { blob, start: pos };
    }

    // One write is kept in flight: the next slice is read and its CRC taken meanwhile.
    let writing = null;
    const spare = [];
    const buffer = (count) => {
      const b = spare.pop();
      return b && b.byteLength >= count ? b : new ArrayBuffer(Math.max(count, Math.min(sliceSize, total)));
    };
    const written = async () => {
      const pending = writing;
      writing = null;
      try {
        const back = await pending;
        if (back instanceof ArrayBuffer && back.byteLength > 0) spare.push(back);
        return true;
      } catch (e) {
        await ask('write', kCaption, fill(T.writeFailed, info.name), ['ok']);
        return false;
      }
    };
    // Moves the destination to the end of a range left for later, before the next write.
    const move = async () => {
      if (!moveTo || !sink) return true;
      writing = Promise.resolve(sink.seek(moveTo.to, moveTo.from));
      moveTo = null;
      return written();
    };

    // After the last piece: the range left for later is rebuilt, the parity data XOR every
    // other piece's data read again from the chosen files, and must match its CRC-64, as
    // the parity data must match theirs.
    const finish = async () => {
      if (!rebuild || !sink) return result('finished');
      if (!(await move())) return result('stopped');
      const r = recovery.rec;
      const failed = async () => {
        await ask('R3', kCaption, fill(T.rebuildFailed, recovery.name), ['ok']);
        return result('stopped');
      };
      let parityCrc = 0n;
      let rebuiltCrc = 0n;
      // The parity data's slice and the other pieces' bytes at the same offset are asked
      // for at once, and the next slice's while this one is worked on; a slice is smaller
      // the more pieces there are, so that about 64 MiB at most are held.
      const step = Math.min(sliceSize, Math.max(64 * 1024, Math.floor((32 * 2 ** 20) / r.pieceCount)));
      const readSlice = (at) => {
        const count = Math.min(step, r.parityLength - at);
        const used = Math.max(0, Math.min(count, rebuild.length - at));
        const reads = [readBytes(r.blob, kRecoveryParityOffset + at, kRecoveryParityOffset + at + count)];
        for (let i = 0; i < r.pieceCount && used > 0; i++) {
          if (i === rebuild.index || r.counts[i] <= at) continue;
          const n = Math.min(r.counts[i] - at, used);
          const source = sources[i];
          reads.push(source ? readBytes(source.blob, source.start + at, source.start + at + n).then((b) => (b.length === n ? b : null))
            : Promise.resolve(null));
        }
        const all = Promise.all(reads);
        all.catch(() => {});
        return { count, used, all };
      };
      let next = readSlice(0);
      for (let at = 0; at < r.parityLength;) {
        const { count, used, all } = next;
        const [block, ...others] = await all;
        if (at + count < r.parityLength) next = readSlice(at + count);
        if (block.length !== count || others.includes(null)) return failed();
        parityCrc = crc64(parityCrc, block);
        if (used > 0) {
          const out = block.subarray(0, used);
          for (const other of others) xorInto(out, other);
          rebuiltCrc = crc64(rebuiltCrc, out);
          if (!(await written())) return result('stopped');
          writing = Promise.resolve(sink.write(out, null, rebuild.start + at));
          writing.catch(() => {});
          const rebuilt = at + used;
          pending = pendingAtStart - Math.floor((pendingAtStart * rebuilt) / rebuild.length);
          progress(position(), total, rebuild.piece.name);
        }
        at += count;
        if (cancelled()) {
          await Promise.resolve(writing).catch(() => {});
          return result('cancelled');
        }
      }
      if (!(await written())) return result('stopped');
      if (rebuiltCrc !== rebuild.crc || parityCrc !== r.parityCrc) return failed();
      rebuild.piece.rebuilt = true;
      return result('finished');
    };

    for (let number = 1; ;) {
      // Copy the piece's data, slice by slice, with its CRC.
      let crc = 0;
      reader = null;
      // The next slice is asked for before the CRC of this one is taken, so that the
      // browser reads it meanwhile.
      let ahead = null;
      while (pieceRemainder > 0 && remainingTotal > 0) {
        const want = Math.min(pieceRemainder, remainingTotal, sliceSize);
        const available = Math.max(0, Math.min(want, blob.size - pos));
        // A piece that ends early gives the whole blocks before its end, then stops.
        const count = available < want ? available - (available % kBlockSize) : want;
        if (!reader) reader = new StreamReader(blob, pos, pos + Math.min(pieceRemainder, remainingTotal));
        let data;
        // What was asked for ahead is always this slice: the same count, whole before the end.
        if (ahead) data = await ahead.bytes;
        else data = count > 0 ? await reader.read(count, buffer(count)) : new Uint8Array(0);
        ahead = null;
        if (data.length !== count) throw new Error('short read of ' + piece.name);
        const nextWant = Math.min(pieceRemainder - count, remainingTotal - count, sliceSize);
        if (available === want && nextWant > 0 && blob.size - (pos + count) >= nextWant) {
          ahead = { bytes: reader.read(nextWant, buffer(nextWant)) };
          ahead.bytes.catch(() => {});
        }
        crc = crc16(crc, data);
        if ((rec && entry >= 0) || dataCheck !== null) crcLong = crc64(crcLong, data);
        if (!(await written()) || !(await move())) return result('stopped');
        if (sink && count > 0) {
          writing = Promise.resolve(sink.write(data, blob.slice(pos, pos + count)));
          writing.catch(() => {});
        } else if (count > 0) {
          spare.push(data.buffer);
        }
        pos += count;
        pieceRemainder -= count;
        remainingTotal -= count;
        done += count;
        piece.bytes += count;
        progress(position(), total, piece.name);
        if (available < want) {
          if (!(await written())) return result('stopped');
          if (await offer(false)) break;
          piece.truncated = true;
          await ask('W4', kCaption, fill(T.truncated, piece.name), ['ok']);
          return result('stopped');
        }
        if (cancelled()) {
          await Promise.resolve(writing).catch(() => {});
          return result('cancelled');
        }
      }
      if (reader) reader.close();
      reader = null;
      if (!(await written())) return result('stopped');
      if (!piece.rebuild) {
        // The check value follows the data copied; bytes the file lacks count as zero.
        // The data must match the CRC-64 of the piece's own header, where it states one,
        // and with a recovery file that of its table as well.
        const stored = await readBytes(blob, pos, pos + 2);
        const check = (stored[0] || 0) | ((stored[1] || 0) << 8);
        const sound = check === crc && (!rec || entry < 0 || crcLong === rec.crcs[entry]) &&
          (dataCheck === null || crcLong === dataCheck);
        piece.checked = true;
        if (remainingTotal <= 0) {
          if (!sound && !(await offer(false))) {
            piece.badCheckValue = true;
            await ask('W6', kConfirmCaption, fill(T.badLast, piece.name), ['ok']);
          }
          return finish();
        }
        if (!sound && !(await offer(false))) {
          piece.badCheckValue = true;
          if ((await ask('W5', kConfirmCaption, fill(T.badIntermediate, piece.name), ['yes', 'no'])) === 'no')
            return result('stopped');
        }
      }
      if (remainingTotal <= 0) return finish();

      // Bring in the next piece file: ask for it while it is not there, search its
      // marker, read its header; with a recovery file, each of these may leave the piece
      // to the rebuild instead.
      number++;
      const name = pieceName(info.exeName, number);
      piece = { name, bytes: 0 };
      pieces.push(piece);
      crcLong = 0n;
      dataCheck = null;
      if (rec) {
        if (entryCount() > 0) pieceStart += entryCount();
        entry = number - 1;
        // A piece beyond the table: without a rebuild pending the run goes on as without
        // the recovery file; with one, the rebuild's own checks will tell.
        if (entry >= rec.pieceCount) {
          entry = -1;
          if (!rebuild) rec = null;
        }
      }
      let start = -1;
      for (;;) {
        blob = lookUp(files, name);
        if (!blob) {
          piece.missing = true;
          if (await offer(true)) break;
          if ((await ask('N1', kNextCaption, fill(T.nextFile, name), ['ok', 'cancel'])) === 'cancel')
            return result('stopped');
          continue;
        }
        piece.missing = false;
        start = findMarker(await readBytes(blob, 0, kSearchSpan), blob.size);
        if (start >= 0) break;
        if (await offer(false)) break;
        piece.noPiece = true;
        if ((await ask('N2', kCaption, T.noPiece, ['retry', 'cancel'])) === 'cancel') return result('stopped');
        piece.noPiece = false;
      }
      if (piece.rebuild) continue;
      const h = await readLaterPiece(blob, start + kMarker.length);
      if (!sameId(h.setId, info.setId)) {
        if (await offer(false)) continue;
        piece.foreign = true;
        if ((await ask('N3', kConfirmCaption, fill(T.foreign, name), ['yes', 'no'])) === 'no')
          return result('stopped');
      }
      if (h.truncated) {
        if (await offer(false)) continue;
        piece.truncated = true;
        await ask('W4', kCaption, fill(T.truncated, name), ['ok']);
        return result('stopped');
      }
      pos = h.dataStart;
      pieceRemainder = h.dataCount;
      dataCheck = h.dataCheck;
      sources[number - 1] = { blob, start: pos };
      // A data count other than the table's cannot give the piece's data.
      if (entryCount() >= 0 && entryCount() !== pieceRemainder) await offer(false);
    }
  }

  // XORs other into the start of out.
  function xorInto(out, other) {
    let i = 0;
    if (out.byteOffset % 4 === 0 && other.byteOffset % 4 === 0) {
      const words = other.length >>> 2;
      const a = new Uint32Array(out.buffer, out.byteOffset, words);
      const b = new Uint32Array(other.buffer, other.byteOffset, words);
      for (let j = 0; j < words; j++) a[j] ^= b[j];
      i = words * 4;
    }
    for (; i < other.length; i++) out[i] ^= other[i];
  }

  // Whether the recovery file's parity data match their check.
  async function parityIsSound(rec, sliceSize = kSliceSize) {
    let crc = 0n;
    for (let at = 0; at < rec.parityLength; at += sliceSize) {
      const end = Math.min(at + sliceSize, rec.parityLength);
      const block = await readBytes(rec.blob, kRecoveryParityOffset + at, kRecoveryParityOffset + end);
      if (block.length !== end - at) return false;
      crc = crc64(crc, block);
    }
    return crc === rec.parityCrc;
  }

  // The answers of a check: it reads on past a bad check value or a piece of another
  // set, and stops where nothing further can be read.
  function checkAnswer(id) {
    return { W5: 'yes', N3: 'yes', N1: 'cancel', N2: 'cancel', R1: 'yes', R2: 'yes' }[id] || 'ok';
  }

  // With a usable recovery file whose parity data are sound: the one piece it would
  // rebuild, when that piece is the set's only fault; else null.
  function repairablePiece(run) {
    const r = run.recovery;
    if (!r || !r.usable || !r.parityGood || run.outcome === 'cancelled') return null;
    let rebuilt = null;
    for (const p of run.pieces) {
      if (p.noPiece || p.truncated || p.badCheckValue || p.foreign || (p.missing && !p.rebuild)) return null;
      if (p.rebuild) {
        if (rebuilt) return null;
        rebuilt = p;
      }
    }
    return rebuilt;
  }

  // The check's report, line for line as parcelon-restore --check prints it.
  function checkReport(info, run) {
    const width = (s) => [...s].reduce((w, ch) => w + (/[\u1100-\u115f\u2e80-\ua4cf\uac00-\ud7a3\uf900-\ufaff\ufe30-\ufe4f\uff00-\uff60\uffe0-\uffe6]/.test(ch) || ch.codePointAt(0) > 0xffff ? 2 : 1), 0);
    const recovery = run.recovery;
    const columns = Math.max(...run.pieces.map((p) => width(p.name)), recovery ? width(recovery.name) : 0);
    const lines = run.pieces.map((p, i) => {
      let line = '  ' + p.name + ' '.repeat(columns - width(p.name)) + '  ';
      if (p.missing) return line + 'missing (cannot be opened)' + (p.rebuild ? '; the recovery file would rebuild it' : '');
      if (p.rebuild) return line + 'cannot be used whole (its marker, header or a check fails); the recovery file would rebuild it';
      if (p.noPiece) return line + 'holds no piece (no piece marker found)';
      line += grouped(p.bytes) + ' data bytes  check value ';
      if (p.truncated) line += 'not reached: the file ends early';
      else if (i + 1 === run.pieces.length && run.outcome !== 'finished') line += 'not reached';
      else line += p.badCheckValue ? 'bad' : 'good';
      return line + '  set identifier ' + (p.foreign ? 'foreign' : 'same');
    });
    const faults = [];
    for (const p of run.pieces) {
      if (p.missing) faults.push(p.name + ' is missing');
      if (p.noPiece) faults.push(p.name + ' holds no piece');
      if (p.truncated) faults.push(p.name + ' ends early');
      if (p.badCheckValue) faults.push(p.name + ' fails its check value');
      if (p.foreign) faults.push(p.name + ' belongs to another set');
      if (p.rebuild && !p.missing) faults.push(p.name + ' cannot be used whole');
    }
    if (recovery) {
      lines.push('  ' + recovery.name + ' '.repeat(columns - width(recovery.name)) + '  ' + (recovery.usable
        ? `recovery file of ${recovery.pieceCount} pieces, parity data ${recovery.parityGood ? 'good' : 'bad'}; every piece's CRC-64 checked as well`
        : 'recovery file not used: damaged, or of another set'));
    }
    const repairable = repairablePiece(run);
    if (repairable) {
      lines.push(`repairable: ${repairable.name} would be rebuilt from the recovery file ${recovery.name}; every other piece and the parity data are sound`);
      return lines;
    }
    if (run.outcome === 'cancelled') faults.push('interrupted');
    if (faults.length === 0 && run.outcome !== 'finished') faults.push('the check did not finish');
    if (faults.length === 0 && run.bytes !== info.totalSize) faults.push('the data do not add up to the total size');
    const bytes = grouped(run.bytes) + ' of ' + info.totalText + ' bytes';
    lines.push(faults.length === 0
      ? `sound: ${run.pieces.length} piece${run.pieces.length === 1 ? '' : 's'}, every check value good and every set identifier the same; ${bytes}`
      : `not sound: ${faults.join('; ')} (${bytes} read)`);
    return lines;
  }

  // What a run found about one piece, in the page's words: [mark, text], mark 'good' for
  // a piece read whole and sound, 'bad' for one at fault, 'open' for one not reached.
  function pieceResult(p, last, outcome) {
    if (p.rebuilt) return ['good', '回復ファイルから作り直しました'];
    if (p.rebuild && p.missing) return ['bad', 'なし（回復ファイルから作り直せます）'];
    if (p.rebuild) return ['bad', '内容が正しくありません（回復ファイルから作り直せます）'];
    if (p.missing) return ['bad', 'なし'];
    if (p.noPiece) return ['bad', '分割ファイルではありません'];
    if (p.truncated) return ['bad', '途中で切れています'];
    if (p.badCheckValue && p.foreign) return ['bad', '別のセットのもので、内容も正しくありません'];
    if (p.badCheckValue) return ['bad', '内容が正しくありません'];
    if (p.foreign) return ['bad', '別のセットのものです'];
    if (!p.checked || (last && outcome !== 'finished')) return ['open', '未検査'];
    return ['good', '正常'];
  }

  // The check's verdict as sentences: whether the set can be restored and, if not, which
  // file is at fault and why.
  function checkVerdict(info, run) {
    if (run.outcome === 'cancelled') return '検査を途中で中止しました。この分割ファイルを復元できるかどうかは、まだわかりません。';
    const repairable = repairablePiece(run);
    if (repairable) {
      return `この分割ファイルは、回復ファイル ${run.recovery.name} を使えば復元できます。` +
        `${repairable.name} は${repairable.missing ? 'ありません' : 'そのままでは使えません'}が、回復ファイルから作り直せます（ほかのファイルと回復ファイルの内容は正しいことを確かめました）。`;
    }
    const faults = [];
    for (const p of run.pieces) {
      if (p.rebuild && !p.missing) faults.push(`${p.name} はそのままでは使えません（壊れています）。`);
      if (p.missing) faults.push(`${p.name} がありません。`);
      if (p.noPiece) faults.push(`${p.name} には分割したデータが見つかりません（分割ファイルではありません）。`);
      if (p.truncated) faults.push(`${p.name} は途中で切れています（ファイルの終わりが欠けています）。`);
      if (p.badCheckValue) faults.push(`${p.name} の内容が正しくありません（壊れています）。`);
      if (p.foreign) faults.push(`${p.name} は別の分割ファイルのものです。`);
    }
    if (faults.length === 0 && run.outcome !== 'finished') faults.push('検査を最後まで行えませんでした。');
    if (faults.length === 0 && run.bytes !== info.totalSize)
      faults.push(`データの合計（${grouped(run.bytes)} バイト）が元のファイルのサイズ（${info.totalText} バイト）と合いません。`);
    if (faults.length === 0)
      return `この分割ファイルは復元できます。${run.pieces.length} 個のファイルがすべてそろい、内容も正しいことを確かめました（${info.totalText} バイト）。`;
    // What the recovery file can do about it.
    if (run.recovery && !run.recovery.usable) faults.push(`回復ファイル ${run.recovery.name} は壊れているか別のセットのもので、使えません。`);
    else if (run.recovery && !run.recovery.parityGood) faults.push(`回復ファイル ${run.recovery.name} の内容が正しくありません（壊れています）。`);
    else if (run.pieces.some((p) => p.rebuild)) faults.push('回復ファイルから作り直せるのは 1 個までです。');
    return 'この分割ファイルは、このままでは正しく復元できません。\n' + faults.join('\n');
  }

  // After a restore that finished: the pieces it took although they were not right (a bad
  // check value, another set's piece), or none.
  function forcedPieces(run) {
    return run.pieces.filter((p) => p.badCheckValue || p.foreign).map((p) =>
      `${p.name}（${p.badCheckValue && p.foreign ? '別のセット、内容が不正' : p.foreign ? '別のセット' : '内容が不正'}）`);
  }

  // The worker that writes a restore into the browser's own storage (the origin-private
  // file system) through a sync access handle, which exists only in a worker. Each
  // message gets one reply with its id, and an error's name where a call failed.
  function serveWorker(scope) {
    let dir = null;
    let handle = null;
    let at = 0;
    scope.onmessage = async (e) => {
      const m = e.data;
      const reply = { id: m.id };
      try {
        dir = dir || (await scope.navigator.storage.getDirectory());
        if (m.op === 'open' || m.op === 'probe') {
          const file = await dir.getFileHandle(m.name, { create: true });
          handle = await file.createSyncAccessHandle();
          handle.truncate(0);
          at = 0;
          if (m.op === 'probe') {
            handle.close();
            handle = null;
            await dir.removeEntry(m.name);
          }
        } else if (m.op === 'seek') {
          // A range left for later: the file holds zeros there until it is written.
          if (m.at > handle.getSize()) handle.truncate(m.at);
          at = m.at;
        } else if (m.op === 'write') {
          const where = m.at === undefined ? at : m.at;
          const n = handle.write(m.bytes, { at: where });
          at = where + n;
          if (n !== m.bytes.length) throw new Error('short write');
          reply.bytes = m.bytes.buffer;
        } else if (m.op === 'close') {
          handle.flush();
          handle.close();
          handle = null;
        } else if (m.op === 'remove') {
          if (handle) handle.close();
          handle = null;
          await dir.removeEntry(m.name);
        }
      } catch (err) {
        reply.error = (err && err.name) || String(err);
      }
      scope.postMessage(reply, reply.bytes ? [reply.bytes] : []);
    };
  }

  // The page: what the user chooses or drops, the run's questions, progress and results.
  function startPage(doc, scriptUrl) {
    const $ = (id) => doc.getElementById(id);
    const state = {
      files: new Map(), exeName: null, info: null, plan: null, results: null, busy: false, cancel: false,
      download: null, storedFile: null, askingForPiece: false,
    };
    const say = {
      noExe: '自己復元ファイル（.exe）が見つかりません。.exe も一緒に選んでください（回復ファイル .d00 があれば、.exe なしでも復元できます）。',
      fromRecovery: '.exe がないため、名前・サイズ・更新日時は回復ファイルから読み、最初の分割ファイルのデータは回復ファイルから作り直します。',
      recovery: '回復ファイル',
      recoveryUnusable: '回復ファイル（壊れているか別のセットのもので、使いません）',
      rebuilt: '%s は回復ファイルから作り直しました。',
      present: 'あり',
      missing: 'なし',
      missingRun: 'なし（%s 個）',
      unknown: 'ほかにも分割ファイルがあるはずです（数は不明）。',
      count: '分割ファイルは全部で %s 個です。',
      about: '分割ファイルは全部で約 %s 個です（そろっているファイルからの見積もり）。',
      timeStamp: '元の更新日時はブラウザーからは設定できません。%s',
      downloaded: '「%s」としてダウンロードしました。',
      savedTo: '「%s」に保存しました。',
      damagedName: '（破損あり）',
      reading: '%s を読んでいます',
      left: '残り約 %s',
      askAgain: '送り主に %s をもう一度送ってもらい、選び直してください。',
      askAgainAll: '送り主に分割ファイル一式をもう一度送ってもらい、選び直してください。',
      tryAgain: 'もう一度「復元」を押すと、初めからやり直せます。',
      exeRebuilt: 'なし（回復ファイルから作り直します）',
      localTime: '更新日時 %s（この端末の時刻）',
      unreadable: 'ファイルを読み込めません。選び直してください。\n[%s]',
      bytes: '%s バイト',
      addFile: '%s がありません。ここで選んでください：',
      forced: '復元が終了しましたが、復元したファイルは元のファイルと同じではありません。正しくない分割ファイルをそのまま使いました：\n%s',
      viaPicker: '「復元」を押すと保存先を選べます。ファイルは少しずつ書き込まれるので、大きさに制限はありません。',
      viaStorage: '復元したファイルはダウンロードとして保存します。その前にブラウザーの保存領域に書き込みます（このブラウザーで使える領域 約 %s）。',
      viaMemory: '復元したファイルはダウンロードとして保存します。このブラウザーではファイル全体をメモリー上に組み立てるため、%s までのファイルに限ります。',
      noRoom: 'このファイル（%s バイト）はブラウザーの保存領域（使える領域 約 %s）に収まらないため、このブラウザーでは復元できません。ほかのブラウザーか parcelon-restore をお使いください。検査はできます。',
      tooLarge: 'このファイル（%s バイト）は、このブラウザーではメモリー上に組み立てられる大きさ（%s）を超えるため、復元できません。Firefox、または Chrome や Edge など Chromium 系のブラウザー、あるいは parcelon-restore をお使いください。検査はできます。',
    };
    const labels = { yes: 'はい(Y)', no: 'いいえ(N)', ok: 'OK', cancel: 'キャンセル', retry: '再試行(R)' };
    const ua = (root.navigator && root.navigator.userAgent) || '';
    const memoryLimit = kMemoryLimits[/Firefox\//.test(ua) ? 'firefox' : /Chrom(e|ium)\//.test(ua) ? 'chromium' : 'other'];
    const mib = (n) => (n >= 2 ** 30 ? (n / 2 ** 30).toFixed(1).replace(/\.0$/, '') + ' GiB'
      : n >= 2 ** 20 ? Math.round(n / 2 ** 20) + ' MiB' : fill(say.bytes, grouped(Math.max(n, 0))));

    // The worker and the browser's own storage, where both are there; storage stays null
    // where the page cannot use them (Chromium from file://, a private window).
    let worker = null;
    let storageVia = null; // 'sync': the worker's sync access handle; 'writable': the page's writable stream
    let workerCalls = 0;
    const replies = new Map();
    function callWorker(message, transfer) {
      return new Promise((resolve, reject) => {
        const id = ++workerCalls;
        replies.set(id, (reply) => (reply.error ? reject(new Error(reply.error)) : resolve(reply)));
        worker.postMessage({ ...message, id }, transfer || []);
      });
    }
    const storage = (async () => {
      if (!scriptUrl || typeof root.Worker !== 'function' || !root.navigator.storage ||
        typeof root.navigator.storage.getDirectory !== 'function')
        return null;
      try {
        const dir = await root.navigator.storage.getDirectory();
        // What an earlier visit left behind goes first; a file another tab still writes
        // is locked and stays. A browser that cannot list the folder keeps them.
        try {
          for await (const name of dir.keys())
            if (name.startsWith(kStoragePrefix)) await dir.removeEntry(name).catch(() => {});
        } catch (e) {
          // Nothing to remove that the page can name.
        }
        worker = new root.Worker(scriptUrl);
        let timer = null;
        const failed = new Promise((resolve, reject) => {
          worker.onerror = () => reject(new Error('worker'));
          timer = setTimeout(() => reject(new Error('timeout')), 10000);
        });
        worker.onmessage = (e) => {
          const done = replies.get(e.data.id);
          replies.delete(e.data.id);
          if (done) done(e.data);
        };
        try {
          await Promise.race([callWorker({ op: 'probe', name: kStoragePrefix + 'probe' }), failed]);
        } finally {
          clearTimeout(timer);
          worker.onerror = null;
        }
        storageVia = 'sync';
        return dir;
      } catch (e) {
        if (worker) worker.terminate();
        worker = null;
      }
      // Without a sync access handle (WebKit) the page writes into its storage itself,
      // through a writable stream, which keeps the browser's memory as flat.
      try {
        const dir = await root.navigator.storage.getDirectory();
        // The worker's probe file goes (once the worker is gone, WebKit unlocks it); as
        // long as it is locked, the probe here takes another name.
        await dir.removeEntry(kStoragePrefix + 'probe').catch(() => {});
        const probe = kStoragePrefix + 'probe-writable';
        const writable = await (await dir.getFileHandle(probe, { create: true })).createWritable();
        await writable.write(new Uint8Array(1));
        await writable.close();
        await dir.removeEntry(probe);
        storageVia = 'writable';
        return dir;
      } catch (e) {
        return null;
      }
    })();

    // How a restore will be saved, and whether the set's file can be: { mode, text, refuse }.
    // noPicker: as where the browser has no save dialog.
    async function savePlan(info, noPicker) {
      if (!noPicker && typeof root.showSaveFilePicker === 'function') return { mode: 'picker', text: say.viaPicker };
      if (await storage) {
        let free = Infinity;
        try {
          const estimate = await root.navigator.storage.estimate();
          free = estimate.quota - estimate.usage;
        } catch (e) {
          // No estimate: the writes themselves tell when the room runs out.
        }
        const room = Number.isFinite(free) ? mib(free) : '不明';
        if (info && info.totalSize > free) return { mode: 'storage', text: fill(fill(say.noRoom, info.totalText), room), refuse: true };
        return { mode: 'storage', text: fill(say.viaStorage, room) };
      }
      if (info && info.totalSize > memoryLimit)
        return { mode: 'memory', text: fill(fill(say.tooLarge, info.totalText), mib(memoryLimit)), refuse: true };
      return { mode: 'memory', text: fill(say.viaMemory, mib(memoryLimit)) };
    }

    // The status line: what happened, in the tone given, and below it any details.
    function setStatus(text, tone, details) {
      const head = doc.createElement('span');
      head.className = 'head' + (tone ? ' ' + tone : '');
      head.textContent = text;
      $('status').replaceChildren(head);
      if (details) $('status').append('\n' + details);
    }

    // The bar, and beside it the piece being read, the bytes, the share done and, once
    // the run has gone a second, the time left at the pace so far.
    function showProgress(done, total, pieceName) {
      $('progress').max = Math.max(total, 1);
      $('progress').value = total > 0 ? Math.min(done, total) : 1;
      state.shown = [done, total];
      const parts = [];
      if (pieceName && state.busy) parts.push(fill(say.reading, pieceName));
      parts.push(fill(say.bytes, grouped(done) + ' / ' + grouped(total)) +
        `（${total > 0 ? Math.floor((100 * Math.min(done, total)) / total) : 100}%）`);
      const elapsed = (Date.now() - state.runStart) / 1000;
      if (state.busy && elapsed >= 1 && done > 0 && done < total) {
        const left = Math.ceil(((total - done) * elapsed) / done);
        parts.push(fill(say.left, left < 60 ? `${left} 秒` : `${Math.ceil(left / 60)} 分`));
      }
      $('bytes').textContent = parts.join('　');
    }

    // The stored time as the recipient's own clock shows it (it is stored as UTC), or null.
    function localTimeText(info) {
      const t = info.packedTime;
      const f = [t >>> 22, (t >>> 17) & 0x1f, (t >>> 12) & 0x1f, (t >>> 6) & 0x3f, t & 0x3f];
      if (!info.year || f[0] < 1 || f[0] > 12 || f[1] < 1 || f[2] > 23 || f[3] > 59 || f[4] > 59) return null;
      const d = new Date(Date.UTC(info.year, f[0] - 1, f[1], f[2], f[3], f[4]));
      const two = (v) => String(v).padStart(2, '0');
      return fill(say.localTime, `${d.getFullYear()}/${two(d.getMonth() + 1)}/${two(d.getDate())} ` +
        `${two(d.getHours())}:${two(d.getMinutes())}:${two(d.getSeconds())}`);
    }

    // A download's name for a file known to be damaged: the name says so, its extension
    // stays last (a viewer that opens the file by its type still shows the name).
    function damagedName(name) {
      const dot = name.lastIndexOf('.');
      return dot > 0 ? name.slice(0, dot) + say.damagedName + name.slice(dot) : name + say.damagedName;
    }

    // After a run that stopped or a check that failed: what to do next, in one sentence.
    function nextStep(run) {
      const wanted = run.pieces.filter((p) => !p.rebuilt && (p.missing || p.noPiece || p.truncated || p.badCheckValue ||
        p.foreign || p.rebuild)).map((p) => p.name);
      if (run.recovery && !run.recovery.usable && wanted.length) wanted.push(run.recovery.name);
      else if (run.recovery && run.recovery.usable && run.recovery.parityGood === false) wanted.push(run.recovery.name);
      if (wanted.length) return fill(say.askAgain, wanted.join('、'));
      return run.outcome === 'finished' ? say.askAgainAll : say.tryAgain;
    }

    function setBusy(busy) {
      state.busy = busy;
      $('restore').disabled = busy || !state.info || Boolean(state.save && state.save.refuse);
      $('check').disabled = busy || !state.info;
      $('cancel').disabled = !busy;
      $('clear').disabled = busy || state.files.size === 0;
      $('files').disabled = busy;
    }

    // A question in the manner of a message box, modal: the page behind is inert while it
    // is open, Y, N, R and Esc press the buttons they name, and the focus goes back where
    // it was. The promise gives the button pressed.
    function ask(id, caption, text, buttons) {
      const box = $('question');
      const before = doc.activeElement;
      $('question-caption').textContent = caption;
      $('question-text').textContent = text;
      const row = $('question-buttons');
      row.replaceChildren();
      const add = $('question-add');
      add.replaceChildren();
      box.dataset.id = id;
      return new Promise((resolve) => {
        const keys = { y: 'yes', n: 'no', r: 'retry' };
        const refusing = buttons.includes('no') ? 'no' : buttons.includes('cancel') ? 'cancel' : buttons[buttons.length - 1];
        const answer = (value) => {
          doc.removeEventListener('keydown', onKey, true);
          box.hidden = true;
          $('main').inert = false;
          state.askingForPiece = false;
          // A button that is off while the run goes on gets the focus back when it ends.
          if (before && typeof before.focus === 'function' && doc.contains(before) && !before.disabled) before.focus();
          else if (box.contains(doc.activeElement)) doc.activeElement.blur();
          resolve(value);
        };
        function onKey(e) {
          if (e.altKey || e.ctrlKey || e.metaKey) return;
          const key = e.key.toLowerCase();
          let value = null;
          if (key === 'escape') value = refusing;
          // Enter presses the focused button here, and goes no further: left to the browser,
          // Firefox clicks with it again where the focus returns (Restore, starting a run).
          else if (key === 'enter' && doc.activeElement && row.contains(doc.activeElement)) value = doc.activeElement.dataset.answer;
          else if (keys[key] && buttons.includes(keys[key]) && e.target.type !== 'file') value = keys[key];
          if (value) {
            e.preventDefault();
            answer(value);
            return;
          }
          if (key === 'tab') {
            // Focus goes round the box's own controls only.
            const controls = [...box.querySelectorAll('button, input')];
            const at = controls.indexOf(doc.activeElement);
            const next = (at + (e.shiftKey ? -1 : 1) + controls.length) % controls.length;
            e.preventDefault();
            controls[at < 0 ? 0 : next].focus();
          }
        }
        for (const value of buttons) {
          const button = doc.createElement('button');
          button.type = 'button';
          button.textContent = labels[value];
          button.dataset.answer = value;
          button.addEventListener('click', () => answer(value));
          row.append(button);
        }
        // A missing piece can be chosen from the question itself; OK then reads it.
        if (id === 'N1') {
          const wanted = text.replace(/^次に (.*) を読み込みます。$/, '$1');
          const label = doc.createElement('label');
          label.textContent = fill(say.addFile, wanted);
          const input = doc.createElement('input');
          input.type = 'file';
          input.multiple = true;
          input.addEventListener('change', () => takeFiles(input.files, 'add'));
          label.append(input);
          add.append(label);
          state.askingForPiece = true;
        }
        add.hidden = id !== 'N1';
        $('main').inert = true;
        box.hidden = false;
        doc.addEventListener('keydown', onKey, true);
        // A question that would take a damaged piece or another set's starts on No, so
        // that Enter never forces it.
        (id === 'W5' || id === 'N3' ? row.querySelector('[data-answer="no"]') : row.querySelector('button')).focus();
      });
    }

    async function showPieces() {
      const list = $('pieces');
      list.replaceChildren();
      $('count').textContent = '';
      if (!state.info) return;
      const plan = state.plan || (state.plan = await planPieces(state.info, state.files));
      const results = new Map();
      if (state.results) {
        state.results.pieces.forEach((p, i) => {
          const result = pieceResult(p, i + 1 === state.results.pieces.length, state.results.outcome);
          // The executable of a set chosen without it is no fault where it can be rebuilt.
          if (i === 0 && state.info.noExe && p.rebuild && !p.rebuilt) result[0] = 'rebuild';
          results.set(p.name, result);
        });
      }
      const shown = new Set();
      const item = (name, mark, text) => {
        const li = doc.createElement('li');
        li.className = mark;
        const file = doc.createElement('span');
        file.className = 'name';
        file.textContent = name;
        li.append(file, '　' + text);
        list.append(li);
        shown.add(name);
      };
      // A stretch of more than three missing pieces takes one line.
      for (let i = 0; i < plan.list.length; i++) {
        const piece = plan.list[i];
        const result = results.get(piece.name);
        let last = i;
        while (!result && !piece.present && last + 1 < plan.list.length && !plan.list[last + 1].present &&
          !results.has(plan.list[last + 1].name))
          last++;
        if (last - i >= 3) {
          item(`${piece.name} 〜 ${plan.list[last].name}`, 'missing', fill(say.missingRun, last - i + 1));
          i = last;
        } else if (result) item(piece.name, result[0], result[1]);
        else if (i === 0 && state.info.noExe && plan.recovery.rec) item(piece.name, 'rebuild', say.exeRebuilt);
        else item(piece.name, piece.present ? 'present' : 'missing', piece.present ? say.present : say.missing);
      }
      // A piece the run read beyond the plan (the plan was an estimate).
      for (const [name, result] of results) if (!shown.has(name)) item(name, result[0], result[1]);
      if (plan.recovery.present)
        item(plan.recovery.name, plan.recovery.rec ? 'present' : 'bad', plan.recovery.rec ? say.recovery : say.recoveryUnusable);
      if (plan.count === null) {
        const li = doc.createElement('li');
        li.className = 'missing';
        li.textContent = say.unknown;
        list.append(li);
      } else {
        $('count').textContent = fill(plan.estimated ? say.about : say.count, plan.count);
      }
    }

    async function showPlan() {
      state.save = state.info ? await savePlan(state.info) : null;
      $('plan').textContent = state.save ? state.save.text : '';
      $('plan').className = 'plan' + (state.save && state.save.refuse ? ' warn' : '');
      // Which way of saving the page took: picker, storage (through the worker's sync
      // access handle or the page's writable stream) or memory.
      $('plan').dataset.mode = state.save ? state.save.mode + (state.save.mode === 'storage' ? '-' + storageVia : '') : '';
      setBusy(state.busy);
    }

    // Files chosen or dropped. A choice that holds an executable starts a new set; one
    // without adds to a set that lacks pieces (or answers the question for a missing
    // piece); anything else replaces what was chosen.
    async function takeFiles(fileList, how) {
      const chosen = [...fileList];
      if (chosen.length === 0) return;
      const exe = [...chosen].reverse().find((f) => /\.exe$/i.test(f.name));
      const d00 = exe ? null : chosen.find((f) => /\.d00$/i.test(f.name));
      const incomplete = state.info && state.plan && (state.plan.count === null || state.plan.list.some((p) => !p.present));
      const info = exe && !state.busy ? await readFirstPiece(exe, exe.name) : null;
      // The executable of a set chosen without it joins that set: the same set identifier,
      // stored name and size (a file's name says nothing of the set it came from).
      const same = (a, b) => a.length === b.length && a.every((c, i) => c === b[i]);
      const joins = info && !info.error && state.info && state.info.noExe && same(info.setId, state.info.setId) &&
        same(info.nameBytes, state.info.nameBytes) && info.totalSize === state.info.totalSize;
      const adding = how === 'add' || state.busy || (!exe && incomplete) || joins;
      if (!adding) clearSet();
      for (const file of chosen) state.files.set(file.name, file);
      state.plan = null;
      if (info) {
        state.exeName = exe.name;
        state.info = null;
        state.results = null;
        $('report').textContent = '';
        setStatus('');
        if (info.error) {
          $('info').textContent = '';
          setStatus(info.error, 'bad');
        } else {
          state.info = info;
          $('info').textContent = info.infoText;
          showProgress(0, info.totalSize);
        }
      } else if (d00 && !state.busy && !adding) {
        // No executable: the recovery file stands in for its header.
        const info = await readRecoveryInfo(d00, d00.name);
        if (info.error) {
          setStatus(info.error, 'bad');
        } else {
          state.exeName = info.exeName;
          state.info = info;
          $('info').textContent = info.infoText;
          setStatus(say.fromRecovery);
          showProgress(0, info.totalSize);
        }
      } else if (!state.exeName) {
        setStatus(say.noExe, 'bad');
      }
      setBusy(state.busy);
      await showPieces();
      await showPlan();
    }

    // Forgets the chosen files and everything shown about them.
    function clearSet() {
      state.files = new Map();
      state.exeName = null;
      state.info = null;
      state.plan = null;
      state.results = null;
      state.save = null;
      for (const id of ['info', 'count', 'plan', 'report', 'bytes']) $(id).textContent = '';
      $('pieces').replaceChildren();
      $('progress').value = 0;
      setStatus('');
      setBusy(state.busy);
    }

    // The download's object address and the stored file behind it live until the browser
    // has had time to take the file, the next restore or start over, whichever comes
    // first (a check leaves them); a file left over is removed at the next visit.
    function dropDownload() {
      if (state.download) URL.revokeObjectURL(state.download);
      state.download = null;
      if (state.storedFile) {
        const name = state.storedFile;
        state.storedFile = null;
        storage.then((dir) => dir && dir.removeEntry(name)).catch(() => {});
      }
    }

    function offerDownload(blob, name, stored) {
      dropDownload();
      const link = doc.createElement('a');
      link.href = state.download = URL.createObjectURL(blob);
      state.storedFile = stored || null;
      link.download = name;
      doc.body.append(link);
      link.click();
      link.remove();
      // A minute, and a second more for every 10 MB.
      setTimeout(() => state.download === link.href && dropDownload(), 60000 + blob.size / 10000);
    }

    async function run(sink, answer) {
      const pressed = doc.activeElement;
      state.cancel = false;
      state.results = null;
      state.runStart = Date.now();
      setBusy(true);
      setStatus('');
      $('report').textContent = '';
      await showPieces();
      try {
        const result = await runSet(state.info, state.files, {
          sink,
          ask: answer,
          progress: showProgress,
          cancelled: () => state.cancel,
        });
        state.results = result;
        return result;
      } catch (e) {
        setStatus(fill(say.unreadable, e && e.message ? e.message : String(e)), 'bad');
        return null;
      } finally {
        setBusy(false);
        if (state.shown) showProgress(...state.shown);
        const now = doc.activeElement;
        if (pressed && pressed !== doc.body && (!now || now === doc.body || now.disabled || $('question').contains(now)))
          pressed.focus();
        await showPieces();
      }
    }

    // A sink that writes through a file's writable stream (the save dialog's file, or one
    // of the browser's own storage). The writable takes the same bytes as a slice of the
    // chosen file, which the browser copies file to file: twice as fast here as handing it
    // the bytes read. The file takes its content only when it is closed.
    function writableSink(writable) {
      let length = 0;
      return {
        write: async (data, source, position) => {
          if (position === undefined) {
            await writable.write(source);
            length += data.length;
          } else {
            // WebKit writes a view's whole buffer, not the view: a part goes as a copy.
            const whole = data.byteOffset === 0 && data.byteLength === data.buffer.byteLength;
            await writable.write({ type: 'write', position, data: whole ? data : data.slice() });
          }
          return data.buffer;
        },
        // A range left for later holds zeros until the rebuild writes it.
        seek: async (to) => {
          if (to > length) await writable.truncate(to);
          length = Math.max(length, to);
          await writable.seek(to);
        },
        stop: () => writable.close().catch(() => {}),
      };
    }

    // Where the restore goes: the file the user picks in the save dialog where the browser
    // has one; else the browser's own storage, written by the worker and then offered as a
    // download; else memory, offered as a download.
    async function openSink(info, save) {
      if (save.mode === 'picker') {
        let handle = null;
        try {
          handle = await root.showSaveFilePicker({ suggestedName: info.name });
        } catch (e) {
          // The user closed the dialog; any other refusal (a page inside a frame, for
          // one) leaves the download, with its own limits.
          if (e && e.name === 'AbortError') return null;
          const download = await savePlan(info, true);
          if (download.refuse) {
            setStatus(download.text, 'bad');
            return null;
          }
          return openSink(info, download);
        }
        let writable;
        try {
          writable = await handle.createWritable();
        } catch (e) {
          setStatus('復元ファイルを作成できません\nファイルパス名を確認してください。', 'bad');
          return null;
        }
        return { ...writableSink(writable), close: () => writable.close(), savedAs: handle.name || info.name };
      }
      if (save.mode === 'storage' && storageVia === 'writable') {
        const name = kStoragePrefix + Date.now();
        let writable;
        try {
          writable = await (await (await storage).getFileHandle(name, { create: true })).createWritable();
        } catch (e) {
          setStatus('復元ファイルを作成できません\nファイルパス名を確認してください。', 'bad');
          return null;
        }
        return {
          ...writableSink(writable),
          close: async (saveAs) => {
            await writable.close();
            const dir = await storage;
            offerDownload(await (await dir.getFileHandle(name)).getFile(), saveAs, name);
          },
          stop: async () => {
            await writable.abort().catch(() => {});
            await (await storage).removeEntry(name).catch(() => {});
          },
          download: true,
        };
      }
      if (save.mode === 'storage') {
        const name = kStoragePrefix + Date.now();
        try {
          await callWorker({ op: 'open', name });
        } catch (e) {
          setStatus('復元ファイルを作成できません\nファイルパス名を確認してください。', 'bad');
          return null;
        }
        return {
          write: async (data, source, position) =>
            (await callWorker({ op: 'write', bytes: data, at: position }, [data.buffer])).bytes,
          seek: (to) => callWorker({ op: 'seek', at: to }),
          close: async (saveAs) => {
            await callWorker({ op: 'close' });
            const dir = await storage;
            offerDownload(await (await dir.getFileHandle(name)).getFile(), saveAs, name);
          },
          stop: () => callWorker({ op: 'remove', name }).catch(() => {}),
          download: true,
        };
      }
      // The parts in order; a range left for later is a hole, which the rebuild's writes
      // fill in order.
      const parts = [];
      let length = 0;
      return {
        // A Blob holds a copy of its bytes: the buffer can be read into again.
        write: (data, source, position) => {
          const hole = position === undefined ? null : parts.find((p) => p.hole && position >= p.at && position < p.at + p.size);
          if (hole) hole.fill.push({ at: position - hole.at, blob: new Blob([data]) });
          else if (position === undefined) {
            parts.push(new Blob([data]));
            length += data.length;
          }
          return data.buffer;
        },
        // What was written of the range goes; the range becomes a hole.
        seek: (to, from) => {
          const keep = Math.min(from, length);
          let at = length;
          while (at > keep) {
            const last = parts.pop();
            at -= last.size;
            if (at < keep) parts.push(last.hole ? { ...last, size: keep - at } : last.slice(0, keep - at));
          }
          parts.push({ hole: true, at: keep, size: to - keep, fill: [] });
          length = to;
        },
        close: (saveAs) => {
          // A hole's writes in their places, zeros where none came.
          const filled = (hole) => {
            const out = [];
            let at = 0;
            for (const f of hole.fill.sort((a, b) => a.at - b.at)) {
              if (f.at > at) out.push(new Uint8Array(f.at - at));
              out.push(f.blob.slice(Math.max(0, at - f.at)));
              at = Math.max(at, f.at + f.blob.size);
            }
            if (at < hole.size) out.push(new Uint8Array(hole.size - at));
            return new Blob(out).slice(0, hole.size);
          };
          const whole = parts.map((p) => (p.hole ? filled(p) : p));
          offerDownload(new Blob(whole, { type: 'application/octet-stream' }), saveAs);
          parts.length = 0;
        },
        stop: () => {
          parts.length = 0;
        },
        download: true,
      };
    }

    async function onRestore() {
      const info = state.info;
      if (!info || state.busy) return;
      await showPlan();
      const save = state.save;
      if (save.refuse) {
        setStatus(save.text, 'bad');
        return;
      }
      dropDownload();
      const sink = await openSink(info, save);
      if (!sink) return;
      const result = await run(sink, ask);
      if (!result || result.outcome !== 'finished') {
        // The save dialog's file keeps what was written, as the Windows program's does;
        // the browser's own storage and memory give theirs back.
        await sink.stop();
        if (result) setStatus(T.stopped, '', nextStep(result));
        return;
      }
      const forced = forcedPieces(result);
      // A download that is not the original says so in its name.
      const savedAs = sink.download ? (forced.length ? damagedName(info.name) : info.name) : sink.savedAs;
      try {
        await sink.close(savedAs);
      } catch (e) {
        await sink.stop();
        setStatus(fill(T.writeFailed, info.name), 'bad');
        return;
      }
      const stamp = localTimeText(info);
      const head = forced.length ? fill(say.forced, forced.join('\n')) : T.finished;
      const rebuilt = result.pieces.filter((p) => p.rebuilt).map((p) => fill(say.rebuilt, p.name));
      const details = [...rebuilt, fill(sink.download ? say.downloaded : say.savedTo, savedAs),
        stamp ? fill(say.timeStamp, stamp) : ''].filter(Boolean);
      setStatus(head, forced.length ? 'bad' : 'good', details.join('\n'));
    }

    async function onCheck() {
      if (!state.info || state.busy) return;
      const result = await run(null, (id) => Promise.resolve(checkAnswer(id)));
      if (!result) return;
      $('report').textContent = checkReport(state.info, result).join('\n');
      const verdict = checkVerdict(state.info, result);
      const sound = verdict.startsWith('この分割ファイルは復元できます') || Boolean(repairablePiece(result));
      setStatus(verdict, result.outcome === 'cancelled' ? '' : sound ? 'good' : 'bad',
        sound || result.outcome === 'cancelled' ? '' : nextStep(result));
    }

    $('files').addEventListener('change', (e) => {
      takeFiles(e.target.files, 'choose');
      e.target.value = '';
    });
    doc.addEventListener('dragover', (e) => {
      e.preventDefault();
      $('drop').classList.add('over');
    });
    doc.addEventListener('dragleave', () => $('drop').classList.remove('over'));
    doc.addEventListener('drop', (e) => {
      e.preventDefault();
      $('drop').classList.remove('over');
      takeFiles(e.dataTransfer.files, state.askingForPiece ? 'add' : 'drop');
    });
    $('restore').addEventListener('click', onRestore);
    $('check').addEventListener('click', onCheck);
    $('cancel').addEventListener('click', () => {
      state.cancel = true;
    });
    $('clear').addEventListener('click', () => {
      dropDownload();
      clearSet();
      $('files').focus();
    });
    setBusy(false);
  }

  if (typeof document !== 'undefined') {
    const scriptUrl = document.currentScript ? document.currentScript.src : null;
    if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', () => startPage(document, scriptUrl));
    else startPage(document, scriptUrl);
  } else if (typeof WorkerGlobalScope !== 'undefined' && root instanceof WorkerGlobalScope) {
    serveWorker(root);
  }

  const api = {
    T, kFirstPieceOffset, kMemoryLimits, kSliceSize, crc16, grouped, isPlainFileName, readFirstPiece,
    timeStampText, pieceName, findMarker, readLaterPiece, lookUp, planPieces, runSet, checkAnswer, checkReport,
    crc64, readRecovery, readRecoveryInfo,
    checkVerdict, pieceResult, forcedPieces,
  };
  root.Parcelon = api;
  if (typeof module !== 'undefined') module.exports = api;
})(typeof globalThis !== 'undefined' ? globalThis : this);
