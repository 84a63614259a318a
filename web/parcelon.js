// web/parcelon.js: the restore page: reads a split set's pieces inside the browser with
// the same checks and questions as the Windows program, streams the file into a chosen
// destination or offers it as a download, and checks a set without writing anything.
// The logic is plain functions on the global Parcelon object (and module.exports under
// Node, for the tests); the page's wiring at the end runs only where there is a document.
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
  // Data move in slices of this size: a multiple of the block size, so that a piece that
  // ends early keeps exactly the whole blocks before its end, as on Windows.
  const kSliceSize = 8 * 1024 * 1024;
  // Without a writable file handle the file is assembled in memory and offered as a
  // download; above this size the page sends the user to a browser that streams, or to
  // parcelon-restore. Chromium offered no download at all of an in-memory file of 504 MiB
  // or more, while 448 MiB went through.
  const kDownloadLimit = 384 * 1024 * 1024;
  const kHeaderWindow = 64 * 1024;

  const T = {
    info: '分割元ファイル %s\r\nサイズ  %sBytes',
    damaged: 'ファイルが壊れています。\n[%s]',
    truncated: 'ファイルの終端が欠けてします。\n[%s]',
    badIntermediate: 'ファイルの内容が正しくありません。強行しますか？\n[%s]',
    badLast: 'ファイルの内容が正しくありません。\n[%s]',
    nextFile: '次に %s を読み込みます。',
    noPiece: '分割ファイルが異常です。',
    foreign: '「%s」は、\n現在復元中のファイルとは異なります。強行しますか？',
    writeFailed: '復元ファイルへの書き込みに失敗しました。\nディスクの空き容量を確認してください。\n[%s]',
    finished: '復元が終了しました。',
    stopped: '復元を中止しました。',
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

  function grouped(value) {
    const digits = BigInt(value) < 0n ? (-BigInt(value)).toString() : BigInt(value).toString();
    const sign = BigInt(value) < 0n ? '-' : '';
    return sign + digits.replace(/\B(?=(\d{3})+(?!\d))/g, ',');
  }

  async function readBytes(blob, start, end) {
    if (start >= blob.size || end <= start) return new Uint8Array(0);
    return new Uint8Array(await blob.slice(start, Math.min(end, blob.size)).arrayBuffer());
  }

  // Reads header fields from a window of a file. A read that runs past the window while
  // the file goes on asks for a larger window (NEED_MORE); at the file's end it delivers
  // what there is, as a short read.
  const NEED_MORE = {};
  class HeaderReader {
    constructor(bytes, atFileEnd) {
      this.bytes = bytes;
      this.atFileEnd = atFileEnd;
      this.pos = 0;
    }
    take(count) {
      if (this.pos + count > this.bytes.length && !this.atFileEnd) throw NEED_MORE;
      const start = Math.min(this.pos, this.bytes.length);
      const got = this.bytes.subarray(start, Math.min(this.pos + count, this.bytes.length));
      this.pos = Math.min(this.pos + count, Math.max(this.pos, this.bytes.length));
      return got;
    }
    skip(count) {
      this.pos += count;
    }
    // A size integer: 4 bytes, or 8 when the first has its top bit set; -1 when short.
    size() {
      const a = this.take(4);
      if (a.length < 4) return -1n;
      const high = BigInt(((a[0] << 24) | (a[1] << 16) | (a[2] << 8) | a[3]) >>> 0);
      if (high < 0x80000000n) return high;
      const b = this.take(4);
      if (b.length < 4) return -1n;
      const low = BigInt(((b[0] << 24) | (b[1] << 16) | (b[2] << 8) | b[3]) >>> 0);
      return ((high & 0x7fffffffn) << 32n) + low + 0x80000000n;
    }
    // A length integer: 1 byte, or 2 when the first has its top bit set; -1 when short.
    length() {
      const a = this.take(1);
      if (a.length < 1) return -1;
      if (a[0] < 0x80) return a[0];
      const b = this.take(1);
      if (b.length < 1) return -1;
      return ((a[0] & 0x7f) << 8) + b[0] + 128;
    }
    // Bytes read without a test: those that do not arrive keep the values given.
    untested(count, into) {
      const got = this.take(count);
      into.set(got);
      return into;
    }
  }

  async function readHeader(blob, start, parse) {
    for (let size = kHeaderWindow; ; size *= 4) {
      const bytes = await readBytes(blob, start, start + size);
      try {
        return parse(new HeaderReader(bytes, start + bytes.length >= blob.size));
      } catch (e) {
        if (e !== NEED_MORE) throw e;
      }
    }
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
    const header = await readHeader(blob, kFirstFieldsOffset, (r) => {
      const h = { setId: new Uint8Array(2), nameBytes: null, year: 0, packedTime: 0 };
      h.totalSize = r.size();
      r.skip(1);
      h.pieceLength = r.size();
      r.untested(2, h.setId);
      for (;;) {
        const tag = r.take(1);
        if (tag.length < 1) return null;
        if (tag[0] === 0) break;
        const length = r.length();
        if (length < 0) return null;
        if (tag[0] === kNameTag) {
          if (length > kMaxNameLength) return null;
          h.nameBytes = r.take(length).slice();
        } else if (tag[0] === kTimeStampTag) {
          const stamp = new Uint8Array([h.year & 0xff, h.year >> 8, h.packedTime & 0xff, (h.packedTime >>> 8) & 0xff,
            (h.packedTime >>> 16) & 0xff, h.packedTime >>> 24]);
          r.untested(6, stamp);
          h.year = stamp[0] | (stamp[1] << 8);
          h.packedTime = (stamp[2] | (stamp[3] << 8) | (stamp[4] << 16) | (stamp[5] << 24)) >>> 0;
        } else {
          r.skip(length);
        }
      }
      h.headerLength = kFirstFieldsOffset + r.pos - kFirstPieceOffset;
      return h;
    });
    if (!header || header.totalSize < 0n || !header.nameBytes || !isPlainFileName(header.nameBytes))
      return damaged;
    const name = new TextDecoder('shift_jis').decode(header.nameBytes);
    return {
      exeName,
      name,
      totalSize: Number(header.totalSize),
      totalText: grouped(header.totalSize),
      firstDataCount: Number(header.pieceLength) - header.headerLength,
      headerLength: header.headerLength,
      setId: header.setId,
      year: header.year,
      packedTime: header.packedTime,
      infoText: fill(fill(T.info, name), grouped(header.totalSize)),
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
    return readHeader(blob, headerStart, (r) => {
      const h = { setId: new Uint8Array(2), truncated: false };
      const pieceLength = r.size();
      let remaining = pieceLength - 7n - (pieceLength < 0x80000000n ? 4n : 8n);
      r.untested(2, h.setId);
      remaining -= r.length() < 128 ? 1n : 2n;
      for (;;) {
        const tag = r.take(1);
        if (tag.length < 1) {
          h.truncated = true;
          return h;
        }
        remaining -= 1n;
        if (tag[0] === 0) break;
        const length = r.length();
        if (length < 0) {
          h.truncated = true;
          return h;
        }
        remaining -= BigInt((length < 128 ? 1 : 2) + length);
        r.skip(length);
      }
      h.dataCount = Number(remaining);
      h.dataStart = headerStart + r.pos;
      return h;
    });
  }

  // Finds a chosen file by name; Windows names match regardless of case.
  function lookUp(files, name) {
    if (files.has(name)) return files.get(name);
    const lower = name.toLowerCase();
    for (const [key, blob] of files) if (key.toLowerCase() === lower) return blob;
    return null;
  }

  const sameId = (a, b) => a[0] === b[0] && a[1] === b[1];

  // What the page knows of the set before a run: for each piece its name, whether its
  // file was chosen and, where it could be read, its data count. A missing piece's count
  // is taken to be that of the other later pieces (all but the last are equally full).
  async function planPieces(info, files) {
    const list = [{ name: info.exeName, present: true, dataCount: info.firstDataCount }];
    const later = new Map();
    let typical = 0;
    for (let n = 2; n < 100000; n++) {
      const blob = lookUp(files, pieceName(info.exeName, n));
      if (!blob) {
        if (n > 2 && !lookUp(files, pieceName(info.exeName, n + 1))) break;
        continue;
      }
      const start = findMarker(await readBytes(blob, 0, kSearchSpan), blob.size);
      const h = start < 0 ? null : await readLaterPiece(blob, start + kMarker.length);
      later.set(n, h && !h.truncated ? h.dataCount : null);
      if (h && !h.truncated) typical = Math.max(typical, h.dataCount);
    }
    let sum = Math.max(info.firstDataCount, 0);
    for (let n = 2; sum < info.totalSize && n < 100000; n++) {
      const present = later.has(n);
      const count = present ? later.get(n) : null;
      list.push({ name: pieceName(info.exeName, n), present, dataCount: count });
      const step = count !== null && count > 0 ? count : typical;
      if (step <= 0) {
        list.push({ name: '…', present: false, dataCount: null, unknown: true });
        break;
      }
      sum += step;
    }
    return list;
  }

  // One run over the set: a restore into sink, whose write(bytes, source) takes each slice
  // both as the bytes read and as a Blob slice of their file, or a check when sink is
  // null. ask(id, caption, text, buttons) answers each question ('yes', 'no', 'ok',
  // 'cancel', 'retry'); progress(done, total) follows the bytes; cancelled() is tested
  // after every slice.
  // The result: outcome 'finished' | 'stopped' | 'cancelled', the bytes taken, and what
  // was found about each piece.
  async function runSet(info, files, options) {
    const { sink, ask, progress = () => {}, cancelled = () => false, sliceSize = kSliceSize } = options;
    const pieces = [];
    let remainingTotal = info.totalSize;
    let done = 0;
    let piece = null;
    const result = (outcome) => ({ outcome, bytes: done, pieces });

    let blob = lookUp(files, info.exeName);
    let pos = kFirstPieceOffset + info.headerLength;
    let pieceRemainder = info.firstDataCount;
    piece = { name: info.exeName, bytes: 0 };
    pieces.push(piece);
    progress(0, info.totalSize);

    for (let number = 1; ;) {
      // Copy the piece's data, slice by slice, with its CRC.
      let crc = 0;
      let next = null;
      const sliceAt = (at, count) => readBytes(blob, at, at + count);
      // One write is kept in flight: the next slice is read and its CRC taken meanwhile.
      let writing = null;
      const written = async () => {
        const pending = writing;
        writing = null;
        try {
          await pending;
          return true;
        } catch (e) {
          await ask('write', kCaption, fill(T.writeFailed, info.name), ['ok']);
          return false;
        }
      };
      while (pieceRemainder > 0 && remainingTotal > 0) {
        const want = Math.min(pieceRemainder, remainingTotal, sliceSize);
        const available = Math.max(0, Math.min(want, blob.size - pos));
        // A piece that ends early gives the whole blocks before its end, then stops.
        const count = available < want ? available - (available % kBlockSize) : want;
        const data = next && next.at === pos && next.count === count ? await next.bytes : await sliceAt(pos, count);
        const after = Math.min(pieceRemainder - count, remainingTotal - count, sliceSize);
        next = available === want && after > 0 ? { at: pos + count, count: after, bytes: sliceAt(pos + count, after) } : null;
        if (next) next.bytes.catch(() => {});
        if (data.length !== count) throw new Error('short read of ' + piece.name);
        if (!(await written())) return result('stopped');
        if (sink && count > 0) {
          const source = blob.slice(pos, pos + count);
          writing = Promise.resolve().then(() => sink.write(data, source));
          writing.catch(() => {});
        }
        crc = crc16(crc, data);
        pos += count;
        pieceRemainder -= count;
        remainingTotal -= count;
        done += count;
        piece.bytes += count;
        progress(done, info.totalSize);
        if (available < want) {
          if (!(await written())) return result('stopped');
          piece.truncated = true;
          await ask('W4', kCaption, fill(T.truncated, piece.name), ['ok']);
          return result('stopped');
        }
        if (cancelled()) {
          await Promise.resolve(writing).catch(() => {});
          return result('cancelled');
        }
      }
      if (!(await written())) return result('stopped');
      // The check value follows the data copied; bytes the file lacks count as zero.
      const stored = await readBytes(blob, pos, pos + 2);
      const check = (stored[0] || 0) | ((stored[1] || 0) << 8);
      if (remainingTotal <= 0) {
        piece.checked = true;
        if (check !== crc) {
          piece.badCheckValue = true;
          await ask('W6', kConfirmCaption, fill(T.badLast, piece.name), ['ok']);
        }
        return result('finished');
      }
      piece.checked = true;
      if (check !== crc) {
        piece.badCheckValue = true;
        if ((await ask('W5', kConfirmCaption, fill(T.badIntermediate, piece.name), ['yes', 'no'])) === 'no')
          return result('stopped');
      }

      // Bring in the next piece file: ask for it while it is not there, search its
      // marker, read its header.
      number++;
      const name = pieceName(info.exeName, number);
      piece = { name, bytes: 0 };
      pieces.push(piece);
      let start = -1;
      for (;;) {
        blob = lookUp(files, name);
        if (!blob) {
          piece.missing = true;
          if ((await ask('N1', kNextCaption, fill(T.nextFile, name), ['ok', 'cancel'])) === 'cancel')
            return result('stopped');
          continue;
        }
        piece.missing = false;
        start = findMarker(await readBytes(blob, 0, kSearchSpan), blob.size);
        if (start >= 0) break;
        piece.noPiece = true;
        if ((await ask('N2', kCaption, T.noPiece, ['retry', 'cancel'])) === 'cancel') return result('stopped');
        piece.noPiece = false;
      }
      const h = await readLaterPiece(blob, start + kMarker.length);
      if (!sameId(h.setId, info.setId)) {
        piece.foreign = true;
        if ((await ask('N3', kConfirmCaption, fill(T.foreign, name), ['yes', 'no'])) === 'no')
          return result('stopped');
      }
      if (h.truncated) {
        piece.truncated = true;
        await ask('W4', kCaption, fill(T.truncated, name), ['ok']);
        return result('stopped');
      }
      pos = h.dataStart;
      pieceRemainder = h.dataCount;
    }
  }

  // The answers of a check: it reads on past a bad check value or a piece of another
  // set, and stops where nothing further can be read.
  function checkAnswer(id) {
    return { W5: 'yes', N3: 'yes', N1: 'cancel', N2: 'cancel' }[id] || 'ok';
  }

  // The check's report, line for line as parcelon-restore --check prints it.
  function checkReport(info, run) {
    const width = (s) => [...s].reduce((w, ch) => w + (/[\u1100-\u115f\u2e80-\ua4cf\uac00-\ud7a3\uf900-\ufaff\ufe30-\ufe4f\uff00-\uff60\uffe0-\uffe6]/.test(ch) || ch.codePointAt(0) > 0xffff ? 2 : 1), 0);
    const columns = Math.max(...run.pieces.map((p) => width(p.name)));
    const lines = run.pieces.map((p, i) => {
      let line = '  ' + p.name + ' '.repeat(columns - width(p.name)) + '  ';
      if (p.missing) return line + 'missing (cannot be opened)';
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
    }
    if (run.outcome === 'cancelled') faults.push('interrupted');
    if (faults.length === 0 && run.outcome !== 'finished') faults.push('the check did not finish');
    if (faults.length === 0 && run.bytes !== info.totalSize) faults.push('the data do not add up to the total size');
    const bytes = grouped(run.bytes) + ' of ' + info.totalText + ' bytes';
    lines.push(faults.length === 0
      ? `sound: ${run.pieces.length} pieces, every check value good and every set identifier the same; ${bytes}`
      : `not sound: ${faults.join('; ')} (${bytes} read)`);
    return lines;
  }

  // The page: what the user chooses or drops, the run's questions, progress and results.
  function startPage(doc) {
    const $ = (id) => doc.getElementById(id);
    const state = { files: new Map(), exeName: null, info: null, busy: false, cancel: false, download: null };
    const say = {
      noExe: '自己復元ファイル（.exe）が見つかりません。.exe も一緒に選んでください。',
      present: 'あり',
      missing: 'なし',
      unknown: 'ほかにも分割ファイルがあるはずです（数は不明）。',
      timeStamp: '元の更新日時はブラウザーからは設定できません。%s',
      tooLarge: 'このブラウザーでは 384 MiB を超えるファイルは復元できません。Chrome や Edge など Chromium 系のブラウザー、または parcelon-restore をお使いください。',
      downloaded: 'ダウンロードとして保存しました。',
      unreadable: 'ファイルを読み込めません。選び直してください。\n[%s]',
      checkFinished: '検査が終了しました。',
      checkStopped: '検査を中止しました。',
      bytes: '%s バイト',
      addFile: '足りないファイルを選んでください。',
    };
    const labels = { yes: 'はい(Y)', no: 'いいえ(N)', ok: 'OK', cancel: 'キャンセル', retry: '再試行(R)' };

    function setStatus(text) {
      $('status').textContent = text;
    }

    function showProgress(done, total) {
      $('progress').max = Math.max(total, 1);
      $('progress').value = total > 0 ? Math.min(done, total) : 1;
      $('bytes').textContent = fill(say.bytes, grouped(done) + ' / ' + grouped(total));
    }

    function setBusy(busy) {
      state.busy = busy;
      $('restore').disabled = busy || !state.info;
      $('check').disabled = busy || !state.info;
      $('cancel').disabled = !busy;
    }

    // A question in the manner of a message box: its caption, text and buttons; the
    // promise gives the button pressed.
    function ask(id, caption, text, buttons) {
      const box = $('question');
      $('question-caption').textContent = caption;
      $('question-text').textContent = text;
      const row = $('question-buttons');
      row.replaceChildren();
      box.dataset.id = id;
      return new Promise((resolve) => {
        for (const answer of buttons) {
          const button = doc.createElement('button');
          button.type = 'button';
          button.textContent = labels[answer];
          button.dataset.answer = answer;
          button.addEventListener('click', () => {
            box.hidden = true;
            resolve(answer);
          });
          row.append(button);
        }
        // A missing piece can be chosen from the question itself; OK then reads it.
        if (id === 'N1') {
          const add = doc.createElement('input');
          add.type = 'file';
          add.multiple = true;
          add.title = say.addFile;
          add.addEventListener('change', () => takeFiles(add.files));
          row.prepend(add);
        }
        box.hidden = false;
        row.querySelector('button').focus();
      });
    }

    async function showPieces() {
      const list = $('pieces');
      list.replaceChildren();
      if (!state.info) return;
      for (const piece of await planPieces(state.info, state.files)) {
        const item = doc.createElement('li');
        item.textContent = piece.unknown ? say.unknown : piece.name + '　' + (piece.present ? say.present : say.missing);
        item.className = piece.present ? 'present' : 'missing';
        list.append(item);
      }
    }

    async function takeFiles(fileList) {
      for (const file of fileList) state.files.set(file.name, file);
      const exe = [...fileList].reverse().find((f) => /\.exe$/i.test(f.name));
      if (exe && !state.busy) {
        state.exeName = exe.name;
        state.info = null;
        $('report').textContent = '';
        setStatus('');
        const info = await readFirstPiece(exe, exe.name);
        if (info.error) {
          $('info').textContent = '';
          setStatus(info.error);
        } else {
          state.info = info;
          $('info').textContent = info.infoText.replace(/\r\n/g, '\n');
          showProgress(0, info.totalSize);
        }
      } else if (!state.exeName) {
        setStatus(say.noExe);
      }
      setBusy(state.busy);
      await showPieces();
    }

    // The file stays in memory while its address lives: a minute for the browser to take
    // it, or until the next restore, so that two in a row do not hold two files.
    function dropDownload() {
      if (state.download) URL.revokeObjectURL(state.download);
      state.download = null;
    }

    function offerDownload(blob, name) {
      dropDownload();
      const link = doc.createElement('a');
      link.href = state.download = URL.createObjectURL(blob);
      link.download = name;
      doc.body.append(link);
      link.click();
      link.remove();
      setTimeout(() => state.download === link.href && dropDownload(), 60000);
    }

    async function run(sink, answer) {
      dropDownload();
      state.cancel = false;
      setBusy(true);
      setStatus('');
      $('report').textContent = '';
      try {
        return await runSet(state.info, state.files, {
          sink,
          ask: answer,
          progress: showProgress,
          cancelled: () => state.cancel,
        });
      } catch (e) {
        setStatus(fill(say.unreadable, e && e.message ? e.message : String(e)));
        return null;
      } finally {
        setBusy(false);
      }
    }

    // Restore: into the file the user picks in the save dialog where the browser has
    // one, else assembled in memory and offered as a download.
    async function onRestore() {
      const info = state.info;
      if (!info || state.busy) return;
      let sink;
      let writable = null;
      let handle = null;
      if (typeof root.showSaveFilePicker === 'function') {
        try {
          handle = await root.showSaveFilePicker({ suggestedName: info.name });
        } catch (e) {
          // The user closed the dialog; any other refusal (a page inside a frame, for
          // one) leaves the download.
          if (e && e.name === 'AbortError') return;
        }
      }
      if (handle) {
        try {
          writable = await handle.createWritable();
        } catch (e) {
          setStatus('復元ファイルを作成できません\nファイルパス名を確認してください。');
          return;
        }
        // The writable takes the same bytes as a slice of the chosen file, which the
        // browser copies file to file: twice as fast here as handing it the bytes read.
        sink = { write: (data, source) => writable.write(source) };
      } else {
        if (info.totalSize > kDownloadLimit) {
          setStatus(say.tooLarge);
          return;
        }
        const parts = [];
        sink = { write: (data) => { parts.push(new Blob([data])); } };
        sink.finish = () => {
          offerDownload(new Blob(parts, { type: 'application/octet-stream' }), info.name);
          parts.length = 0;
        };
      }
      const result = await run(sink, ask);
      // A stopped restore keeps what was written, as the Windows program does. The file
      // takes its content only when it is closed, so a failure there is a failed write.
      if (writable) {
        try {
          await writable.close();
        } catch (e) {
          if (result && result.outcome === 'finished') {
            setStatus(fill(T.writeFailed, info.name));
            return;
          }
        }
      }
      if (!result) return;
      if (result.outcome !== 'finished') {
        setStatus(T.stopped);
        return;
      }
      if (sink.finish) sink.finish();
      const stamp = timeStampText(info);
      setStatus(T.finished + (sink.finish ? '\n' + say.downloaded : '') + (stamp ? '\n' + fill(say.timeStamp, stamp) : ''));
    }

    async function onCheck() {
      if (!state.info || state.busy) return;
      const result = await run(null, (id) => Promise.resolve(checkAnswer(id)));
      if (!result) return;
      $('report').textContent = checkReport(state.info, result).join('\n');
      setStatus(result.outcome === 'cancelled' ? say.checkStopped : say.checkFinished);
    }

    $('files').addEventListener('change', (e) => {
      takeFiles(e.target.files);
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
      takeFiles(e.dataTransfer.files);
    });
    $('restore').addEventListener('click', onRestore);
    $('check').addEventListener('click', onCheck);
    $('cancel').addEventListener('click', () => {
      state.cancel = true;
    });
    setBusy(false);
  }

  if (typeof document !== 'undefined') {
    if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', () => startPage(document));
    else startPage(document);
  }

  const api = {
    T, kFirstPieceOffset, kDownloadLimit, kSliceSize, crc16, grouped, isPlainFileName, readFirstPiece,
    timeStampText, pieceName, findMarker, readLaterPiece, lookUp, planPieces, runSet, checkAnswer, checkReport,
  };
  root.Parcelon = api;
  if (typeof module !== 'undefined') module.exports = api;
})(typeof globalThis !== 'undefined' ? globalThis : this);
