// browser/instantiate.js: put before the engine's generated script (--pre-js): compiles the
// module from the bytes the script carries in itself, without a fetch of them (the page's
// Content-Security-Policy allows no fetch at all, not even of the data: address they are
// kept in).
Module['instantiateWasm'] = function (imports, receive) {
  WebAssembly.instantiate(tryParseAsDataURI(wasmBinaryFile), imports).then(function (result) {
    receive(result['instance']);
  }, function (reason) {
    readyPromiseReject(reason);
  });
  return {};
};
