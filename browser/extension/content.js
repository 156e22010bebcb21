// Content script: the relay between a page of the service domain and the background.
//
// The page posts {channel: "ferrant:page", ...} to its own window; only messages whose source is
// this very window are taken. {type: "ping"} is answered {type: "pong"} here. {type: "open",
// conn} opens a runtime port for the connection conn, {type: "call", conn, id, method, params}
// goes through it, {type: "close", conn} closes it. Whatever the background sends back reaches
// the page as {channel: "ferrant:extension", conn, ...}; a port that closes is told as
// {type: "closed", conn, reason}.
(() => {
  const api = globalThis.browser ?? globalThis.chrome;
  const PAGE = "ferrant:page";
  const EXTENSION = "ferrant:extension";
  const ports = new Map();

  const toPage = (message) =>
    window.postMessage({ channel: EXTENSION, ...message }, window.location.origin);

  const closePort = (conn) => {
    const port = ports.get(conn);
    if (!port) return;
    ports.delete(conn);
    try {
      port.disconnect();
    } catch (e) {
      // already gone
    }
  };

  const openPort = (conn) => {
    if (ports.has(conn)) return;
    const port = api.runtime.connect({ name: "ferrant" });
    ports.set(conn, port);
    port.onMessage.addListener((message) => toPage({ ...message, conn }));
    port.onDisconnect.addListener((p) => {
      const error = api.runtime.lastError ?? p.error;
      ports.delete(conn);
      toPage({ type: "closed", conn, reason: error?.message ?? "the extension closed the connection" });
    });
  };

  window.addEventListener("message", (event) => {
    if (event.source !== window) return;
    const data = event.data;
    if (data === null || typeof data !== "object" || data.channel !== PAGE) return;
    const conn = typeof data.conn === "string" ? data.conn : "";
    switch (data.type) {
      case "ping":
        toPage({ type: "pong" });
        break;
      case "open":
        if (conn) openPort(conn);
        break;
      case "call": {
        const port = ports.get(conn);
        if (port) port.postMessage({ type: "call", id: data.id, method: data.method, params: data.params });
        break;
      }
      case "close":
        closePort(conn);
        break;
      default:
        break;
    }
  });

  // Leaving the page closes every connection at once, so the hosts see their input end.
  window.addEventListener("pagehide", () => {
    for (const conn of [...ports.keys()]) closePort(conn);
  });
})();
