// web/parcelon.js: the restore page: reads a split set's pieces inside the browser with
// the program's own restore engine (web/engine.js, compiled to WebAssembly: the same
// checks and questions as the Windows program), streams the file into a chosen
// destination or into the browser's own storage (offered then as a download), or as a
// last resort assembles it in memory, and checks a set without writing anything.
// The page's calls are plain functions on the global Parcelon object (and module.exports
// under Node, for the tests); the page's wiring at the end runs only where there is a
// document, and in a dedicated worker the same file serves the writes into the browser's
// storage.
(function (root) {
  'use strict';

  // Where a browser can neither stream into a chosen file nor into its own storage, the
  // file is assembled in memory and offered as a download, up to a size measured per
  // browser: Chromium offered no download at all of 504 MiB held in memory, while 448 MiB
  // went through; Firefox built and offered 3 GiB (with 7.3 GiB of memory in use). Other
  // browsers are not measured and keep Chromium's limit.
  const kMemoryLimits = { chromium: 384 * 1024 * 1024, firefox: 2 * 1024 * 1024 * 1024, other: 384 * 1024 * 1024 };
  // Files in the browser's own storage start with this, so that a visit can remove what
  // an earlier one left behind.
  const kStoragePrefix = 'parcelon-restore-';
  // The piece list gives up on a set it would need more lines than this for.
  const kMaxListedPieces = 9999;
  // Chosen files are read in blocks of this size, the next one while the engine works on
  // the one before.
  const kReadBlock = 8 * 1024 * 1024;
  // The recovery files a run looks for: NAME.d00 and NAME.d00.02 up to this row.
  const kRecoveryRows = 16;
  // A later piece's bytes besides its data, without records: marker, piece length, set
  // identifier, the length integer, the end tag and the check value.
  const kLaterPieceOverhead = 5 + 4 + 2 + 1 + 1 + 2;

  // The program's texts the page shows itself.
  const T = {
    finished: '復元が終了しました。',
    stopped: '復元を中止しました。',
    writeFailed: '復元ファイルへの書き込みに失敗しました。\nディスクの空き容量を確認してください。\n[%s]',
    info: '分割元ファイル %s\nサイズ %s バイト',
  };

  function fill(text, value) {
    return text.replace('%s', () => value);
  }

  function grouped(value) {
    const digits = BigInt(value) < 0n ? (-BigInt(value)).toString() : BigInt(value).toString();
    const sign = BigInt(value) < 0n ? '-' : '';
    return sign + digits.replace(/\B(?=(\d{3})+(?!\d))/g, ',');
  }

  // The engine: one instance, loaded once, which runs one call at a time (a call may wait
  // for the page: a slice of a file, a question, a write).
  let engineLoaded = null;
  function loadEngine() {
    if (!engineLoaded) {
      const factory = typeof root.ParcelonEngine === 'function' ? root.ParcelonEngine
        : typeof require === 'function' ? require('./engine.js') : null;
      if (!factory) return Promise.reject(new Error('the restore engine (engine.js) is not loaded'));
      engineLoaded = Promise.resolve(factory({ host: null }));
    }
    return engineLoaded;
  }
  let engineQueue = Promise.resolve();
  function withEngine(work) {
    const done = engineQueue.then(async () => work(await loadEngine()));
    engineQueue = done.catch(() => {});
    return done;
  }
  // Calls an export that may suspend; its value when it has returned.
  const call = (E, name, args = []) => E.ccall(name, 'number', args.map(() => 'number'), args, { async: true });

  // Code page 932, the engine's texts and names: decoded by the browser, encoded through a
  // table the decoder makes once.
  const sjis = new TextDecoder('shift_jis');
  const decode = (bytes) => sjis.decode(bytes);
  let cp932Table = null;
  function encode(text) {
    if (!cp932Table) {
      cp932Table = new Map();
      const put = (bytes) => {
        const ch = sjis.decode(Uint8Array.from(bytes));
        if (ch.length === 1 && ch !== '\ufffd' && !cp932Table.has(ch)) cp932Table.set(ch, bytes);
      };
      for (let b = 0xa1; b <= 0xdf; b++) put([b]);
      for (let lead = 0x81; lead <= 0xfc; lead++) {
        if (lead > 0x9f && lead < 0xe0) continue;
        for (let trail = 0x40; trail <= 0xfc; trail++) if (trail !== 0x7f) put([lead, trail]);
      }
    }
    const out = [];
    for (const ch of text) {
      const code = ch.codePointAt(0);
      if (code < 0x80) out.push(code);
      else if (cp932Table.has(ch)) out.push(...cp932Table.get(ch));
      else out.push(0x3f); // no such character: a name that no file of the set has
    }
    return Uint8Array.from(out);
  }
  const bytesAt = (E, at) => {
    let end = at;
    while (E.HEAPU8[end]) end++;
    return E.HEAPU8.slice(at, end);
  };
  // A text as the engine takes it: its code page 932 bytes and a zero, in the engine's
  // memory, freed after use.
  async function withText(E, text, use) {
    const bytes = encode(text);
    const at = E._malloc(bytes.length + 1);
    E.HEAPU8.set(bytes, at);
    E.HEAPU8[at + bytes.length] = 0;
    try {
      return await use(at);
    } finally {
      E._free(at);
    }
  }

  // Finds a chosen file as Windows finds it: its exact name, else the one name that differs
  // only in the case of its letters (with two or more such names, none).
  function lookUp(files, name) {
    if (files.has(name)) return files.get(name);
    const lower = name.toLowerCase();
    const found = [...files.keys()].filter((key) => key.toLowerCase() === lower);
    return found.length === 1 ? files.get(found[0]) : null;
  }

  // The message boxes by the engine's number: the page's name for each, and its buttons.
  const kQuestions = ['screen', 'own', 'damaged', 'info', 'nostart', 'own', 'overwrite', 'create', 'fat', 'room',
    'write', 'W4', 'W5', 'W6', 'N1', 'N2', 'N3', 'R1', 'R2', 'R3'];
  const kButtons = { 0: ['ok'], 1: ['ok', 'cancel'], 4: ['yes', 'no'], 5: ['retry', 'cancel'] };
  const kAnswers = { ok: 1, cancel: 2, retry: 4, yes: 6, no: 7 };

  // Reads a file from a position on through its stream, in parts of any size, one after
  // another. Where the stream lets the reader bring its own buffer, the bytes go straight
  // into the page's buffers.
  class StreamReader {
    constructor(blob, start) {
      const stream = blob.slice(start).stream();
      try {
        this.byob = stream.getReader({ mode: 'byob' });
      } catch (e) {
        this.reader = stream.getReader();
      }
      this.chunk = null;
      this.offset = 0;
      this.last = Promise.resolve();
    }
    // The next count bytes, fewer only where the file ends, at the start of buffer (which a
    // stream of its own buffers takes over: the bytes' view names the buffer). Reads made
    // before it finish first.
    read(count, buffer) {
      const done = this.last.then(() => this.take(count, buffer));
      this.last = done.catch(() => {});
      return done;
    }
    async take(count, buffer) {
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

  // What the engine's calls find and ask, served from the chosen files: the host object the
  // stand-in's calls reach.
  // hooks.fetchBlock(name, at, count, buffer), where given, reads a block of the file of
  // that name for the engine (the page does, for an engine in its worker).
  function host(E, files, hooks = {}) {
    const blobs = [];
    const names = [];
    return {
      blobs,
      find(nameBytes) {
        const name = decode(nameBytes);
        const blob = lookUp(files, name);
        if (!blob) return -1;
        blobs.push(blob);
        names.push(name);
        return blobs.length - 1;
      },
      size: (file) => blobs[file].size,
      // A slice of a file into the engine's memory, served from blocks of kReadBlock bytes
      // read from the file; the file's next block is asked for as soon as one is taken, so
      // that the browser reads it while the engine works (fewer, larger reads go faster).
      blocks: new Map(),
      served: 0, // bytes handed to the engine
      async read(file, offset, out, count) {
        const blob = blobs[file];
        let held = this.blocks.get(file);
        if (!held) this.blocks.set(file, (held = { current: null, next: null, stream: null, spare: [] }));
        // A block from at on: the file's stream read on from there into a buffer of the
        // page's own, given back once the block is done with (no chunks left for the
        // garbage collector, which some browsers run late).
        const fetch = (at) => {
          if (hooks.fetchBlock) {
            const bytes = hooks.fetchBlock(names[file], at, Math.min(kReadBlock, blob.size - at), held.spare.pop() || new ArrayBuffer(kReadBlock));
            bytes.catch(() => {});
            return { at, bytes };
          }
          if (!held.stream || held.stream.at !== at) {
            if (held.stream) held.stream.close();
            held.stream = new StreamReader(blob, at);
          }
          const n = Math.min(kReadBlock, blob.size - at);
          const stream = held.stream;
          stream.at = at + n;
          const bytes = stream.read(n, held.spare.pop() || new ArrayBuffer(kReadBlock));
          bytes.catch(() => {});
          return { at, bytes };
        };
        const within = (b, at) => b && at >= b.at && at < b.at + kReadBlock;
        try {
          let done = 0;
          while (done < count && offset + done < blob.size) {
            const here = offset + done;
            if (!within(held.current, here)) {
              if (held.current) held.current.bytes.then((b) => held.spare.push(b.buffer), () => {});
              const next = within(held.next, here) ? held.next : null;
              if (!next && held.next) held.next.bytes.then((b) => held.spare.push(b.buffer), () => {});
              held.current = next || fetch(here);
              held.next = null;
            }
            const bytes = await held.current.bytes;
            const end = held.current.at + bytes.length;
            if (!held.next && end < blob.size && bytes.length === kReadBlock) held.next = fetch(end);
            if (here >= end) break;
            const n = Math.min(count - done, end - here);
            E.HEAPU8.set(bytes.subarray(here - held.current.at, here - held.current.at + n), out + done);
            done += n;
          }
          this.served += done;
          return done;
        } catch (e) {
          if (held.stream) held.stream.close();
          this.blocks.delete(file);
          return -1;
        }
      },
      write: (data, count, position, file, fileAt) => (hooks.write ? hooks.write(data, count, position, file, fileAt) : 0),
      seek: (to, from) => (hooks.seek ? hooks.seek(to, from) : 0),
      truncate: (length) => (hooks.truncate ? hooks.truncate(length) : 1),
      drain: () => (hooks.drain ? hooks.drain() : 1),
      ask: (text, caption, type) => (hooks.ask ? hooks.ask(text, caption, type) : 1),
      progress: (position) => hooks.progress && hooks.progress(position),
      cancelled: () => Boolean(hooks.cancelled && hooks.cancelled()),
      onOpen: (name, ok, bytes) => hooks.onOpen && hooks.onOpen(name, ok, bytes),
    };
  }

  // The set's information as the engine's start-up load reads it from the executable, or
  // from its recovery file recoveryName where the set came without it (loaded as the
  // engine's own; the caller holds the engine). null when loaded, else the text of the
  // message the load showed.
  async function load(E, files, exeName, recoveryName) {
    let said = null;
    E.host = host(E, files, { ask: (text) => ((said = decode(text).replace(/\r\n/g, '\n')), kAnswers.ok) });
    const loaded = await withText(E, exeName, (exe) => (recoveryName
      ? withText(E, recoveryName, (rec) => call(E, 'ParcelonLoadFromRecovery', [rec, exe]))
      : call(E, 'ParcelonLoad', [exe])));
    return loaded ? null : said || 'ファイル情報の取得に失敗しました。';
  }
  const loadSet = (E, files, info) => load(E, files, info.exeName, info.noExe ? info.recoveryName : null);

  function infoOf(E, exeName) {
    const v = new Float64Array(E.HEAPU8.buffer, E._ParcelonInfo(), 9);
    const nameBytes = bytesAt(E, E._ParcelonStoredName());
    const name = decode(nameBytes);
    return {
      exeName, name, totalSize: v[0], totalText: grouped(v[0]), firstDataCount: v[1], headerLength: v[2],
      setId: Uint8Array.of(v[3], v[4]), nameBytes, year: v[5], packedTime: v[6],
      infoText: fill(fill(T.info, name), grouped(v[0])), ...(v[8] ? { noExe: true } : {}),
    };
  }

  // The first piece's header, read from the executable as the Windows program reads it
  // at start-up. Returns { error } for one it refuses.
  function readFirstPiece(blob, exeName) {
    return withEngine(async (E) => {
      const error = await load(E, new Map([[exeName, blob]]), exeName);
      return error ? { error, caption: 'Parcelon' } : infoOf(E, exeName);
    });
  }

  // Without the executable: what the first piece would state, from the recovery file
  // fileName (NAME.d00, or a later one, NAME.d00.02 ...), whose set's executable is taken
  // to be NAME.exe, as the engine's start-up load from it reads it. { error } when it
  // refuses the file.
  function readRecoveryInfo(blob, fileName) {
    const row = /\.d00(\.\d{2,})?$/i.exec(fileName);
    const dot = fileName.lastIndexOf('.');
    const exeName = (row ? fileName.slice(0, row.index) : dot >= 0 ? fileName.slice(0, dot) : fileName) + '.exe';
    return withEngine(async (E) => {
      const error = await load(E, new Map([[fileName, blob]]), exeName, fileName);
      return error ? { error, caption: 'Parcelon' } : { ...infoOf(E, exeName), recoveryName: fileName };
    });
  }

  // "更新日時 2024/03/15 13:45:30 (UTC)", or null without a valid stored time.
  function timeStampText(info) {
    const t = info.packedTime;
    const f = [t >>> 22, (t >>> 17) & 0x1f, (t >>> 12) & 0x1f, (t >>> 6) & 0x3f, t & 0x3f];
    if (info.year === 0 || f[0] < 1 || f[0] > 12 || f[1] < 1 || f[2] > 23 || f[3] > 59 || f[4] > 59) return null;
    const two = (v) => String(v).padStart(2, '0');
    return `更新日時 ${info.year}/${two(f[0])}/${two(f[1])} ${two(f[2])}:${two(f[3])}:${two(f[4])} (UTC)`;
  }

  // The name of piece number (2 or more; 0: the recovery file NAME.d00; -row: recovery row
  // row, NAME.d00.02 ...), as the engine makes it.
  const pieceNameOf = (E, number) => decode(bytesAt(E, E._ParcelonPieceName(number)));

  // The set's recovery files among the chosen files, as a run takes them: { name (of
  // NAME.d00), present, rows, rec }: rows, one for each file of a recovery file's name, in
  // order, { name, usable } (and parityGood, when parity says to read the parity data through
  // their check); rec ({ pieceCount, counts }) null unless one is sound and of this set.
  async function recoveryOf(E, parity = false) {
    const name = pieceNameOf(E, 0);
    const pieces = await call(E, 'ParcelonRecovery');
    const rows = [];
    for (let row = 1; pieces >= 0 && row <= kRecoveryRows; row++) {
      const taken = await call(E, 'ParcelonRecoveryRow', [row]);
      if (taken < 0) continue;
      const entry = { name: pieceNameOf(E, -row), usable: taken === 1 };
      if (parity && entry.usable) entry.parityGood = (await call(E, 'ParcelonParityGood', [row])) === 1;
      rows.push(entry);
    }
    const counts = [];
    for (let n = 1; n <= pieces; n++) counts.push(await call(E, 'ParcelonRecoveryDataCount', [n]));
    await call(E, 'ParcelonRecoveryDone');
    return { name, present: pieces >= 0, rows, rec: pieces > 0 ? { pieceCount: pieces, counts } : null };
  }

  // What the page knows of the set before a run: for each piece its name, whether its
  // file was chosen and, where it could be read, its data count. The number of pieces
  // follows from the data counts read; a piece that is missing or unreadable is taken to
  // hold as much as the fullest piece at hand, or as a piece file of the executable's size
  // would (a splitter cuts every piece file to one size, the executable's stub included),
  // and the plan is then an estimate, on the low side rather than with pieces that do not
  // exist. count is null when even that gives no number.
  // With a usable recovery file the plan is its piece table, exact.
  function planPieces(info, files) {
    return withEngine(async (E) => {
      if (await loadSet(E, files, info)) return { list: [], count: null, estimated: true, recovery: { present: false } };
      const list = [{ name: info.exeName, present: !info.noExe, dataCount: info.firstDataCount }];
      const recovery = await recoveryOf(E);
      if (recovery.rec) {
        const counts = recovery.rec.counts;
        for (let n = 2; n <= counts.length; n++) {
          const name = pieceNameOf(E, n);
          list.push({ name, present: Boolean(lookUp(files, name)), dataCount: counts[n - 1] });
        }
        return { list, count: list.length, estimated: false, recovery };
      }
      const counts = new Map();
      const exe = lookUp(files, info.exeName);
      let full = Math.max(info.firstDataCount, exe ? exe.size - kLaterPieceOverhead : 0, 0);
      for (let n = 2; n <= kMaxListedPieces; n++) {
        if (!lookUp(files, pieceNameOf(E, n))) {
          if (!lookUp(files, pieceNameOf(E, n + 1))) break;
          continue;
        }
        const count = await call(E, 'ParcelonPieceDataCount', [n]);
        if (count > 0) {
          counts.set(n, count);
          full = Math.max(full, count);
        }
      }
      let sum = Math.max(info.firstDataCount, 0);
      let estimated = false;
      for (let n = 2; sum < info.totalSize; n++) {
        const name = pieceNameOf(E, n);
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
    });
  }

  // One run of the engine over the set: a restore into sink, or a check when sink is null
  // (the engine then writes nowhere). sink.write(bytes, source) takes each slice, source
  // being the same bytes as a Blob slice of the chosen file they were copied from (null
  // when they are none); write(bytes, source, position) rewrites a range (the rebuild);
  // seek(to, from) leaves the range from..to for the rebuild and the writes go on at to.
  // The bytes' buffer is the sink's to keep. ask(id, caption, text, buttons) answers each
  // question ('yes', 'no', 'ok', 'cancel', 'retry'); progress(done, total, pieceName)
  // follows the run; cancelled() is asked after every slice.
  // The result: outcome 'finished' | 'stopped' | 'cancelled', the bytes taken, what was
  // found about each piece and, where a file of the recovery file's name is at hand, what
  // the run made of it.
  function runSet(info, files, options) {
    const { sink, ask, progress = () => {}, cancelled = () => false, sliceSize = 0, fetchBlock } = options;
    return withEngine(async (E) => {
      const error = await loadSet(E, files, info);
      if (error) throw new Error(error);
      const recoveryName = pieceNameOf(E, 0).toLowerCase();
      const pieces = [];
      let piece = null;
      let appendAt = 0;
      let rebuildFailed = false;
      const spares = [];
      let writing = null;
      // Waits for the write in flight: whether it went through.
      const drain = async () => {
        const pending = writing;
        writing = null;
        try {
          await pending;
          return true;
        } catch (e) {
          return false;
        }
      };
      const total = info.totalSize;
      const h = host(E, files, {
        fetchBlock,
        // One write is kept in flight while the engine goes on: a write waits for the one
        // before, and its failure is the next call's (a write, or the drain before a flush,
        // the range set aside, a cut or the close).
        write: async (at, count, position, file, fileAt) => {
          if (!(await drain())) return 0;
          // The bytes in a buffer of the page's own: one the sink gave back, where it did.
          const spare = spares.pop();
          const data = new Uint8Array(spare && spare.byteLength >= count ? spare : new ArrayBuffer(count), 0, count);
          data.set(E.HEAPU8.subarray(at, at + count));
          const append = position === appendAt;
          // An appended slice always names a file (a sink may copy from it); the engine's
          // copies are verbatim, and anything else goes as a Blob of its bytes.
          const source = file >= 0 ? h.blobs[file].slice(fileAt, fileAt + count) : append ? new Blob([data]) : null;
          if (append) appendAt += count;
          writing = (async () => {
            const back = await (append ? sink.write(data, source) : sink.write(data, source, position));
            if (back instanceof ArrayBuffer && back.byteLength > 0 && spares.length < 4) spares.push(back);
          })();
          writing.catch(() => {});
          return 1;
        },
        drain: async () => ((await drain()) ? 1 : 0),
        seek: async (to, from) => {
          if (!(await drain())) return 0;
          try {
            await sink.seek(to, from);
            appendAt = to;
            return 1;
          } catch (e) {
            return 0;
          }
        },
        truncate: async (length) => {
          if (!(await drain())) return 0;
          try {
            if (sink.truncate) await sink.truncate(length);
            return 1;
          } catch (e) {
            return 0;
          }
        },
        ask: async (textBytes, captionBytes, type) => {
          const id = kQuestions[E._ParcelonShownMessage()] || 'other';
          const text = decode(textBytes).replace(/\r\n/g, '\n');
          const buttons = kButtons[type & 0xf] || ['ok'];
          const answer = await ask(id, decode(captionBytes), text, buttons);
          if (piece) {
            if (id === 'W5' || id === 'W6') piece.badCheckValue = true;
            if (id === 'W5' || id === 'W6') piece.checked = true;
            if (id === 'N3') piece.foreign = true;
            if (id === 'N2') piece.noPiece = true;
            if (id === 'W4') piece.truncated = true;
            if ((id === 'R1' || id === 'R2') && answer === 'yes') piece.rebuild = true;
          }
          if (id === 'R3') rebuildFailed = true;
          return kAnswers[answer] || kAnswers[buttons[buttons.length - 1]];
        },
        progress: (percent) => progress(percent >= 100 ? total : Math.floor((total * percent) / 100), total, piece && piece.name),
        cancelled,
        onOpen: (nameBytes, ok, bytes) => {
        const name = decode(nameBytes);
        // The recovery files (NAME.d00, NAME.d00.02, ...) are no pieces.
        if (name.toLowerCase().startsWith(recoveryName)) return;
        if (piece && piece.name === name && (!ok || !piece.opened || piece.start === bytes)) {
          // The same piece asked for again (or opened again with nothing read between).
          piece.missing = !ok;
          piece.noPiece = false;
          piece.opened = ok;
          return;
        }
        if (piece) piece.checked = true;
        piece = { name, bytes: 0, start: bytes, opened: ok, missing: !ok };
        pieces.push(piece);
        },
      });
      E.host = h;
      // Without the executable the engine leaves the first piece to the rebuild at once.
      if (info.noExe) pieces.push((piece = { name: info.exeName, bytes: 0, start: 0, opened: false, missing: true, rebuild: true }));
      progress(0, total, info.exeName);
      const ran = await call(E, 'ParcelonRun', [sink ? 0 : 1, sliceSize]);
      await drain();
      const bytes = await call(E, 'ParcelonRunBytes');
      let outcome = ran === 1 ? 'finished' : ran === -1 ? 'cancelled' : 'stopped';
      // A check cannot rebuild into nowhere: a rebuild's failure there says nothing of the
      // set (the check reads the parity data itself below).
      if (!sink && rebuildFailed && outcome === 'stopped') outcome = 'finished';
      for (let i = 0; i < pieces.length; i++) {
        const p = pieces[i];
        p.bytes = (i + 1 < pieces.length ? pieces[i + 1].start : bytes) - p.start;
        if (i + 1 === pieces.length && outcome === 'finished') p.checked = true;
        if (p.rebuild && outcome === 'finished' && sink) p.rebuilt = true;
      }
      // served: what the engine was given of the chosen files, in bytes.
      const run = { outcome, bytes, pieces, served: h.served };
      const recovery = await recoveryOf(E, !sink);
      if (recovery.present) {
        run.recovery = { name: recovery.name, usable: Boolean(recovery.rec), rows: recovery.rows };
        if (recovery.rec) run.recovery.pieceCount = recovery.rec.pieceCount;
      }
      return run;
    });
  }

  // The answers of a check: it reads on past a bad check value or a piece of another
  // set, and stops where nothing further can be read.
  function checkAnswer(id) {
    return { W5: 'yes', N3: 'yes', N1: 'cancel', N2: 'cancel', R1: 'yes', R2: 'yes' }[id] || 'ok';
  }

  // What the recovery files would rebuild: { pieces, rows } when the pieces set aside are the
  // run's only faults and the rows a run would read for them (the first usable ones, one
  // per piece) are sound; else null.
  function repairable(run) {
    const r = run.recovery;
    if (!r || run.outcome === 'cancelled') return null;
    const pieces = [];
    for (const p of run.pieces) {
      if (p.noPiece || p.truncated || p.badCheckValue || p.foreign || (p.missing && !p.rebuild)) return null;
      if (p.rebuild) pieces.push(p);
    }
    const rows = r.rows.filter((row) => row.usable).slice(0, pieces.length);
    if (!pieces.length || rows.length < pieces.length || rows.some((row) => !row.parityGood)) return null;
    return { pieces, rows };
  }

  // The check's report, line for line as parcelon-restore --check prints it.
  function checkReport(info, run) {
    const width = (s) => [...s].reduce((w, ch) => w + (/[\u1100-\u115f\u2e80-\ua4cf\uac00-\ud7a3\uf900-\ufaff\ufe30-\ufe4f\uff00-\uff60\uffe0-\uffe6]/.test(ch) || ch.codePointAt(0) > 0xffff ? 2 : 1), 0);
    const rows = run.recovery ? run.recovery.rows : [];
    const columns = Math.max(...run.pieces.map((p) => width(p.name)), ...rows.map((row) => width(row.name)));
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
    for (const row of rows) {
      lines.push('  ' + row.name + ' '.repeat(columns - width(row.name)) + '  ' + (row.usable
        ? `recovery file of ${run.recovery.pieceCount} pieces, parity data ${row.parityGood ? 'good' : 'bad'}; every piece's CRC-64 checked as well`
        : 'recovery file not used: damaged, or of another set'));
    }
    const repair = repairable(run);
    if (repair) {
      lines.push(`repairable: ${repair.pieces.map((p) => p.name).join(', ')} would be rebuilt from the recovery ` +
        `file${repair.rows.length > 1 ? 's' : ''} ${repair.rows.map((row) => row.name).join(', ')}; every other piece and the parity data are sound`);
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
    const repair = repairable(run);
    if (repair) {
      const missing = repair.pieces.filter((p) => p.missing).length;
      const state = missing === repair.pieces.length ? 'ありません' : missing ? 'ないか、そのままでは使えません' : 'そのままでは使えません';
      return `この分割ファイルは、回復ファイル ${repair.rows.map((row) => row.name).join('、')} を使えば復元できます。` +
        `${repair.pieces.map((p) => p.name).join('、')} は${state}が、回復ファイルから作り直せます（ほかのファイルと回復ファイルの内容は正しいことを確かめました）。`;
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
    const rows = run.recovery ? run.recovery.rows : [];
    for (const row of rows) {
      if (!row.usable) faults.push(`回復ファイル ${row.name} は壊れているか別のセットのもので、使えません。`);
      else if (!row.parityGood) faults.push(`回復ファイル ${row.name} の内容が正しくありません（壊れています）。`);
    }
    if (rows.length && rows.every((row) => row.usable && row.parityGood) && run.pieces.some((p) => p.rebuild))
      faults.push(`回復ファイルから作り直せるのは ${rows.length} 個までです。`);
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
    // The file's writes and moves, for the page's calls and for a restore run here.
    const writeAt = (bytes, position) => {
      const where = position === undefined ? at : position;
      const n = handle.write(bytes, { at: where });
      at = where + n;
      if (n !== bytes.length) throw new Error('short write');
    };
    // A range left for later: the file holds zeros there until it is written.
    const seekTo = (to) => {
      if (to > handle.getSize()) handle.truncate(to);
      at = to;
    };
    // A check, or a restore into the file opened here, runs here, beside the page that
    // reads the files for it: the page reads a block while the engine works through the one
    // before, which on the page's own thread take turns. The page asks the questions; its
    // blocks and answers come with whether the run is to stop, and an answer with the files
    // chosen since (a missing piece chosen in the question).
    const waiting = new Map();
    let calls = 0;
    let stop = false;
    let files = null;
    const toPage = (message, transfer) => new Promise((resolve, reject) => {
      const id = ++calls;
      waiting.set(id, { resolve, reject });
      scope.postMessage({ ...message, id }, transfer || []);
    });
    const runHere = async (m) => {
      try {
        if (typeof root.ParcelonEngine !== 'function') scope.importScripts(m.engine);
        await loadEngine();
      } catch (err) {
        // Nothing ran: the page runs it itself.
        scope.postMessage({ id: m.id, error: 'no engine' });
        return;
      }
      try {
        stop = false;
        files = new Map(m.files);
        // The restore's file, through its sync access handle.
        const sink = m.op === 'check' ? null : {
          write: async (data, source, position) => {
            writeAt(data, position);
            return data.buffer;
          },
          seek: async (to) => seekTo(to),
          truncate: async (length) => handle.truncate(length),
        };
        const run = await runSet(m.info, files, {
          sink,
          ask: m.op === 'check' ? async (id) => checkAnswer(id)
            : (id, caption, text, buttons) => toPage({ op: 'ask', question: id, caption, text, buttons }),
          fetchBlock: (name, at, count, buffer) => toPage({ op: 'block', name, at, count, buffer }, [buffer]),
          cancelled: () => stop,
          progress: (done, total, name) => scope.postMessage({ op: 'progress', done, total, name }),
        });
        scope.postMessage({ id: m.id, run });
      } catch (err) {
        scope.postMessage({ id: m.id, error: String((err && err.message) || err) });
      }
    };
    scope.onmessage = async (e) => {
      const m = e.data;
      if (m.op === 'reply') {
        const call = waiting.get(m.id);
        waiting.delete(m.id);
        stop = stop || m.stop;
        if (m.files) for (const [name, file] of m.files) files.set(name, file);
        if (m.error) call.reject(new Error(m.error));
        else call.resolve(m.value);
        return;
      }
      if (m.op === 'check' || m.op === 'restore') return runHere(m);
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
          seekTo(m.at);
        } else if (m.op === 'write') {
          writeAt(m.bytes, m.at);
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
    // What a run in the worker asks of the page: the blocks of the chosen files it reads,
    // each read on from where the last one of that file ended; the questions; progress.
    let running = null;
    function fromWorker(m) {
      if (!running) return;
      if (m.op === 'progress') return showProgress(m.done, m.total, m.name);
      const reply = (value, transfer) => worker.postMessage({ op: 'reply', id: m.id, value, stop: state.cancel,
        files: m.op === 'ask' ? [...state.files] : undefined }, transfer || []);
      const fail = (e) => worker.postMessage({ op: 'reply', id: m.id, error: String(e), stop: state.cancel });
      if (m.op === 'ask') return running.answer(m.question, m.caption, m.text, m.buttons).then(reply, fail);
      const blob = lookUp(state.files, m.name);
      let reader = running.readers.get(m.name);
      if (!reader || reader.at !== m.at) {
        if (reader) reader.close();
        running.readers.set(m.name, (reader = new StreamReader(blob, m.at)));
      }
      reader.at = m.at + m.count;
      reader.read(m.count, m.buffer).then((bytes) => reply(bytes, [bytes.buffer]), fail);
    }
    // A check, or a restore into the worker's file, run in the worker: its result, or null
    // where the worker could not run it (nothing was read or written then).
    async function runInWorker(op, answer) {
      if (!worker || !scriptUrl) return null;
      running = { readers: new Map(), answer };
      try {
        return (await callWorker({ op, info: state.info, files: [...state.files], engine: new URL('engine.js', scriptUrl).href })).run;
      } catch (e) {
        if (e.message === 'no engine') return null;
        throw e;
      } finally {
        for (const reader of running.readers.values()) reader.close();
        running = null;
      }
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
          if (e.data.op) return fromWorker(e.data);
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
      // The probe's file has a name of this visit's own, so that another tab's probe or its
      // clean-up never meets it; a probe that fails once is tried again under another name.
      for (let attempt = 0; attempt < 2; attempt++) {
        try {
          const dir = await root.navigator.storage.getDirectory();
          // The worker's probe file goes (once the worker is gone, WebKit unlocks it); as
          // long as it is locked, the probe here takes another name.
          await dir.removeEntry(kStoragePrefix + 'probe').catch(() => {});
          const probe = `${kStoragePrefix}probe-${Date.now()}-${Math.random().toString(36).slice(2)}`;
          const writable = await (await dir.getFileHandle(probe, { create: true })).createWritable();
          await writable.write(new Uint8Array(1));
          await writable.close();
          await dir.removeEntry(probe);
          storageVia = 'writable';
          return dir;
        } catch (e) {
          // Once more, or no storage.
        }
      }
      return null;
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
      for (const row of run.recovery ? run.recovery.rows : []) {
        if (!row.usable && wanted.length) wanted.push(row.name);
        else if (row.usable && row.parityGood === false) wanted.push(row.name);
      }
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
      // Another call may have filled the list while the engine read the plan.
      list.replaceChildren();
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
      for (const row of plan.recovery.rows || [])
        item(row.name, row.usable ? 'present' : 'bad', row.usable ? say.recovery : say.recoveryUnusable);
      if (plan.count === null) {
        const li = doc.createElement('li');
        li.className = 'missing';
        li.textContent = say.unknown;
        list.append(li);
      } else {
        $('count').textContent = fill(plan.estimated ? say.about : say.count, plan.count);
      }
    }

    // The plan of the latest call stands, whichever estimate of the storage comes back last.
    let plans = 0;
    async function showPlan() {
      const mine = ++plans;
      const save = state.info ? await savePlan(state.info) : null;
      if (mine !== plans) return;
      state.save = save;
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
    // One choice is taken at a time, in the order they came: a second one made while the
    // first is still being read (a browser may report one choice as several) waits for it.
    // While a run asks for a piece, a choice only adds files, at once.
    let taking = Promise.resolve();
    function takeFiles(fileList, how) {
      const chosen = [...fileList];
      if (state.busy) return takeChosen(chosen, how);
      taking = taking.then(() => takeChosen(chosen, how)).catch((e) => setStatus(String(e), 'bad'));
      return taking;
    }
    async function takeChosen(chosen, how) {
      if (chosen.length === 0) return;
      const exe = [...chosen].reverse().find((f) => /\.exe$/i.test(f.name));
      // NAME.d00 where it was chosen, else a later recovery file.
      const d00 = exe ? null : chosen.find((f) => /\.d00$/i.test(f.name)) || chosen.find((f) => /\.d00\.\d{2,}$/i.test(f.name));
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
        // A check, and a restore into the browser's storage, go to the worker where there
        // is one; else the engine runs here.
        const inWorker = sink ? sink.inWorker && (await runInWorker('restore', answer))
          : (await storage) && (await runInWorker('check', answer));
        const result = inWorker || await runSet(state.info, state.files, {
          sink,
          ask: answer,
          progress: showProgress,
          cancelled: () => state.cancel,
        });
        // Where the engine ran: the worker or the page.
        $('report').dataset.ran = inWorker ? 'worker' : 'page';
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
        // A failed rebuild cuts the file back to where its range begins.
        truncate: async (to) => {
          await writable.truncate(to);
          length = Math.min(length, to);
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
          // The engine runs in the worker and writes there itself, where it can.
          inWorker: true,
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
      const sound = verdict.startsWith('この分割ファイルは復元できます') || Boolean(repairable(result));
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

  // The program's own rules, for the page's tests: the CRC-16 and CRC-64/XZ of bytes from
  // crc, whether a stored name (code page 932 bytes) is a plain file name, a piece's name.
  const rules = {
    crc16: (crc, bytes) => withEngine(async (E) => {
      const at = E._malloc(bytes.length + 1);
      E.HEAPU8.set(bytes, at);
      const value = E._ParcelonCrc16(crc, at, bytes.length);
      E._free(at);
      return value;
    }),
    crc64: (crc, bytes) => withEngine(async (E) => {
      const at = E._malloc(bytes.length + 8);
      const words = new Uint32Array(E.HEAPU8.buffer, at, 2);
      words.set([Number(crc & 0xffffffffn), Number(crc >> 32n)]);
      E.HEAPU8.set(bytes, at + 8);
      E._ParcelonCrc64(at, at + 8, bytes.length);
      const value = (BigInt(new Uint32Array(E.HEAPU8.buffer, at, 2)[1]) << 32n) | BigInt(new Uint32Array(E.HEAPU8.buffer, at, 2)[0]);
      E._free(at);
      return value;
    }),
    isPlainFileName: (bytes) => withEngine(async (E) => {
      const at = E._malloc(bytes.length + 1);
      E.HEAPU8.set(bytes, at);
      E.HEAPU8[at + bytes.length] = 0;
      const plain = E._ParcelonIsPlainFileName(at) === 1;
      E._free(at);
      return plain;
    }),
    pieceName: (exeName, number) => withEngine(async (E) => {
      await load(E, new Map(), exeName);
      return pieceNameOf(E, number);
    }),
  };

  const api = {
    T, kMemoryLimits, grouped, readFirstPiece, readRecoveryInfo, timeStampText, lookUp, planPieces, runSet,
    checkAnswer, checkReport, checkVerdict, pieceResult, forcedPieces, rules,
  };
  root.Parcelon = api;
  if (typeof module !== 'undefined') module.exports = api;
})(typeof globalThis !== 'undefined' ? globalThis : this);
