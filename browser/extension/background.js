// Background (a service worker in Chromium, background scripts in Firefox): one native host per
// page connection.
//
// A runtime port named "ferrant" from our content script on a page of the service domain gets a
// native port to the host; any other sender is disconnected at once. The first message to the
// host is {"method": "Open", "params": [<the sender's origin>]}, taken from the browser's own
// account of the sender, never from the page. When the host has answered it the page is told
// {type: "ready"}. The page's calls are relayed as JSON-RPC 2.0 requests under ids of our own,
// and only for the control's eleven methods and the host's WaitForChange (the page library's
// watch); answers go back under the page's ids. When either
// side closes, the other is closed explicitly, so the host sees its input end at once.
if (!globalThis.FERRANT_CONFIG) importScripts("config.js");

const api = globalThis.browser ?? globalThis.chrome;
const { hostName, serviceDomain } = globalThis.FERRANT_CONFIG;
const METHODS = new Set([
  "InitService", "AddUpTask", "DeleteUpTask", "ContinueUpTask", "StopUpTask", "GetTaskInfo",
  "GetTaskCount", "GetVersionInfo", "SelectFileList", "GetFileList", "DeleteFileList",
  "WaitForChange",
]);
const OPEN_ID = 0;

function senderOrigin(sender) {
  if (!sender || sender.id !== api.runtime.id) return null;
  let url;
  try {
    url = new URL(sender.origin ?? sender.url);
  } catch (e) {
    return null;
  }
  if (url.protocol !== "http:" && url.protocol !== "https:") return null;
  const host = url.hostname.toLowerCase();
  if (host !== serviceDomain && !host.endsWith("." + serviceDomain)) return null;
  return url.origin;
}

function safePost(port, message) {
  try {
    port.postMessage(message);
    return true;
  } catch (e) {
    return false;
  }
}

api.runtime.onConnect.addListener((page) => {
  const origin = page.name === "ferrant" ? senderOrigin(page.sender) : null;
  if (origin === null) {
    page.disconnect();
    return;
  }
  const pending = new Map();  // our id -> the page's id
  let nextId = OPEN_ID + 1;
  let open = true;
  const native = api.runtime.connectNative(hostName);

  const close = (reason) => {
    if (!open) return;
    open = false;
    safePost(page, { type: "closed", reason });
    try { page.disconnect(); } catch (e) { /* gone */ }
    try { native.disconnect(); } catch (e) { /* gone */ }
  };

  native.onMessage.addListener((message) => {
    if (message?.id === OPEN_ID) {
      if (message.error) close(`the host refused the page: ${message.error.message}`);
      else safePost(page, { type: "ready" });
      return;
    }
    if (!pending.has(message?.id)) return;
    const id = pending.get(message.id);
    pending.delete(message.id);
    if (message.error) safePost(page, { type: "error", id, error: message.error });
    else safePost(page, { type: "result", id, result: message.result });
  });
  native.onDisconnect.addListener((port) => {
    const error = api.runtime.lastError ?? port.error;
    close(error?.message ?? "the host ended");
  });
  page.onDisconnect.addListener(() => {
    // Read it, so that Chromium does not report it as unchecked.
    void api.runtime.lastError;
    open = false;
    try { native.disconnect(); } catch (e) { /* gone */ }
  });
  page.onMessage.addListener((message) => {
    if (!open || message?.type !== "call") return;
    const { id, method, params } = message;
    if (!METHODS.has(method)) {
      safePost(page, { type: "error", id, error: { code: -32601, message: "method not found" } });
      return;
    }
    if (!Array.isArray(params)) {
      safePost(page, { type: "error", id, error: { code: -32602, message: "invalid params" } });
      return;
    }
    const ours = nextId++;
    pending.set(ours, id);
    safePost(native, { jsonrpc: "2.0", id: ours, method, params });
  });

  safePost(native, { jsonrpc: "2.0", id: OPEN_ID, method: "Open", params: [origin] });
});
