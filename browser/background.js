// Hands addresses to ZOV Kestra Download through its native messaging host
// (zov-kestra-native-host), which passes them to the running program or starts it.
"use strict";

const api = globalThis.browser ?? globalThis.chrome;
const HOST = "org.zovkestra.download";
const MENU_ID = "zov-kestra-download";

// The options and their defaults (defaults.js, shared with the options page):
// a service worker loads it here, a background page (Firefox) before this file.
if (typeof importScripts === "function" && typeof DEFAULTS === "undefined")
  importScripts("defaults.js");

function settings() {
  return api.storage.local.get(DEFAULTS);
}

function createMenu() {
  api.contextMenus.removeAll(() => {
    api.contextMenus.create({
      id: MENU_ID,
      title: "Download with ZOV Kestra Download...",
      contexts: ["link", "image", "audio", "video"],
      // The program downloads these only; data: and blob: media stay the browser's.
      targetUrlPatterns: ["http://*/*", "https://*/*", "ftp://*/*"],
    });
  });
}

api.runtime.onInstalled.addListener(createMenu);
api.runtime.onStartup.addListener(createMenu);

function notify(text) {
  api.notifications.create({
    type: "basic",
    iconUrl: api.runtime.getURL("icon-128.png"),
    title: "ZOV Kestra Download",
    message: text,
  });
}

// The page's address as the browser itself sends it as the referrer: whole to
// the page's own site, only its origin to another, nothing from https to a
// plain address.
function referrerFor(page, target) {
  try {
    const from = new URL(page), to = new URL(target);
    if (!/^https?:$/.test(from.protocol) || (from.protocol === "https:" && to.protocol !== "https:"))
      return "";
    if (from.origin !== to.origin)
      return from.origin + "/";
    from.hash = "";
    return from.href;
  } catch (e) {
    return "";
  }
}

// What the site knows the browser by, for the program's requests of address:
// its user agent, the referrer, and its cookies for that address when the
// user let the extension read them.
async function sessionFor(address, referrer) {
  const session = { userAgent: navigator.userAgent };
  if (referrer)
    session.referrer = referrer;
  const { sendSession } = await settings();
  if (sendSession && api.cookies) {
    try {
      const cookies = await api.cookies.getAll({ url: address });
      if (cookies.length)
        session.cookies = cookies.map((c) => c.name + "=" + c.value).join("; ");
    } catch (e) {
      // No access to that site's cookies: the address goes without them.
    }
  }
  return session;
}

// The sentence a failed hand-off shows.
function explain(reply) {
  switch (reply.cause) {
  case "not-installed":
    return "ZOV Kestra Download is not installed for this browser (" + reply.why + "). Install its package " +
           "(or cmake --install from its source), or tick \"Add \"Download with ZOV Kestra Download...\" to the " +
           "browsers' menus\" on its About tab.";
  case "not-running":
    return "ZOV Kestra Download is not running and could not be started: " + reply.why;
  case "late":
    return "ZOV Kestra Download did not answer in time: " + reply.why;
  default:
    return "ZOV Kestra Download refused the address: " + reply.why;
  }
}

// Sends one message to the host; resolves to its answer, {ok: true} or
// {ok: false, cause, why}. A failure is always shown, a success when the user
// asked for it; caught says the browser keeps its own download on failure.
async function handOver(message, caught) {
  let reply;
  try {
    reply = await api.runtime.sendNativeMessage(HOST, message);
  } catch (e) {
    // The browser found no host manifest, or the host it names is missing.
    reply = { ok: false, cause: "not-installed", why: (e && e.message) || String(e) };
  }
  reply = reply || { ok: false, cause: "not-running", why: "no answer" };
  if (!reply.ok)
    notify((caught ? "The browser downloads it itself. " : "") + explain(reply));
  else if ((await settings()).notifySuccess)
    notify("ZOV Kestra Download took " + decodeURI(new URL(message.url).pathname.split("/").pop() || message.url));
  return reply;
}

// The menu entry: a link's address, or the source of a picture, audio or
// video. Also the hook the end-to-end test calls through the DevTools protocol.
async function handleMenuClick(info) {
  const address = info.linkUrl || info.srcUrl || "";
  if (!/^(https?|ftp):\/\//i.test(address))
    return { ok: false, cause: "refused", why: "nothing the program can download here" };
  const referrer = referrerFor(info.frameUrl || info.pageUrl || "", address);
  return handOver({ url: address, ...(await sessionFor(address, referrer)) }, false);
}
globalThis.handleMenuClick = handleMenuClick;

api.contextMenus.onClicked.addListener((info) => {
  if (info.menuItemId === MENU_ID)
    handleMenuClick(info);
});

// A download worth offering to the program: an http, https or ftp address
// (never data:, blob: or a page saved), of a listed type or none, and not
// known to be smaller than the minimum.
function worthCatching(item, options) {
  const address = item.finalUrl || item.url || "";
  if (!/^(https?|ftp):\/\//i.test(address) || /^(text\/html|application\/xhtml)/i.test(item.mime || ""))
    return false;
  if (item.totalBytes > 0 && item.totalBytes < options.minimumMiB * 1048576)
    return false;
  let name = (item.filename || "").split(/[\\/]/).pop();
  if (!name) {
    try {
      name = decodeURIComponent(new URL(address).pathname.split("/").pop());
    } catch (e) {
      name = "";
    }
  }
  const dot = name.lastIndexOf(".");
  if (dot < 0)
    return true;
  const types = options.fileTypes.toLowerCase().split(/[\s,;]+/).filter(Boolean);
  return types.includes(name.slice(dot + 1).toLowerCase());
}

// Optional: downloads the browser starts go to the program instead. The
// browser's download is held while the program is asked, and cancelled only
// once the program took the address and its probe with the browser's session
// succeeded; otherwise it goes on. One that already finished stays the
// browser's.
async function catchDownload(item) {
  const options = await settings();
  if (!options.offerDownloads || !worthCatching(item, options))
    return;
  try {
    await api.downloads.pause(item.id);
  } catch (e) {
    return;
  }
  const address = item.finalUrl || item.url;
  const reply = await handOver({ url: address, probe: true, ...(await sessionFor(address, item.referrer)) }, true);
  if (reply.ok) {
    await api.downloads.cancel(item.id);
    await api.downloads.erase({ id: item.id });
  } else {
    await api.downloads.resume(item.id).catch(() => {});
  }
}
api.downloads.onCreated.addListener(catchDownload);
