// tests/web/processes.js: what the browser tests and the page's benchmark measure of a browser
// from outside it.
'use strict';
const { execFileSync } = require('node:child_process');

// The memory of a process and its descendants, in bytes.
function treeMemory(pid) {
  const rows = execFileSync('ps', ['-e', '-o', 'pid=,ppid=,rss=']).toString().trim().split('\n')
    .map((l) => l.trim().split(/\s+/).map(Number));
  const tree = new Set([pid]);
  for (let grown = true; grown;) {
    grown = false;
    for (const [p, parent] of rows) if (tree.has(parent) && !tree.has(p)) grown = tree.add(p);
  }
  return rows.filter(([p]) => tree.has(p)).reduce((sum, [, , rss]) => sum + rss * 1024, 0);
}

module.exports = { treeMemory };
