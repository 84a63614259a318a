// tests/web/sets.js: makes split sets for the restore page's tests with the project's own
// writer, parcelon-split, from a dummy stub of the first-piece offset's size.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');

const root = path.resolve(__dirname, '..', '..');
const build = path.resolve(root, process.env.PARCELON_BUILD || 'build');
const split = path.join(build, 'tools', 'parcelon-split');
const restore = path.join(build, 'frontend', 'parcelon-restore');

for (const tool of [split, restore])
  if (!fs.existsSync(tool)) throw new Error(`${tool} is missing: build the native tools (or set PARCELON_BUILD)`);

function tempDir() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'parcelon-web-'));
}

// Random-looking but repeatable content.
function content(size, seed = 1) {
  const bytes = Buffer.alloc(size);
  let x = seed * 2654435761 >>> 0;
  for (let i = 0; i < size; i++) {
    x = (x * 1103515245 + 12345) >>> 0;
    bytes[i] = x >>> 24;
  }
  return bytes;
}

// Writes INPUT of the given content and splits it; returns the set's folder, the
// executable's path and the content.
function makeSet(dir, { name = 'sample.txt', size = 5000, args = [] } = {}) {
  fs.mkdirSync(dir, { recursive: true });
  const stub = path.join(dir, 'stub.bin');
  if (!fs.existsSync(stub)) fs.writeFileSync(stub, Buffer.alloc(53248, 0x41));
  const input = path.join(dir, 'input.bin');
  const data = content(size);
  fs.writeFileSync(input, data);
  const out = path.join(dir, 'set');
  fs.mkdirSync(out, { recursive: true });
  execFileSync(split, ['--stub', stub, '--out', out, '--base', 'sample', '--name', name, ...args, input],
    { stdio: 'pipe', env: { ...process.env, LC_ALL: 'C.UTF-8' } });
  return { out, exe: path.join(out, 'sample.exe'), data };
}

// What parcelon-restore --check prints for a set, line by line.
function toolCheck(exe) {
  try {
    return execFileSync(restore, ['--check', exe], { stdio: 'pipe' }).toString().trimEnd().split('\n');
  } catch (e) {
    return e.stdout.toString().trimEnd().split('\n');
  }
}

// The set's files as the page gets them: name to Blob.
async function filesOf(out) {
  const files = new Map();
  for (const name of fs.readdirSync(out)) files.set(name, await fs.openAsBlob(path.join(out, name)));
  return files;
}

module.exports = { tempDir, content, makeSet, toolCheck, filesOf, splitTool: split };
