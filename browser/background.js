// Hands addresses to ZOV Kestra Download through its native messaging host
// (zov-kestra-native-host), which passes them to the running program or starts it.
"use strict";

const api = globalThis.browser ?? globalThis.chrome;
const HOST = "org.zovkestra.download";
const MENU_ID = "zov-kestra-download";

function createMenu() {
  api.contextMenus.removeAll(() => {
    api.contextMenus.create({
      id: MENU_ID,
      title: "Download with ZOV Kestra Download...",
      contexts: ["link", "image", "audio", "video"],
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

// Sends one address to the host; resolves to its answer, {ok: true} or
// {ok: false, error: "..."}. Only a failure is shown to the user.
async function handOver(address) {
  let reply;
  try {
    reply = await api.runtime.sendNativeMessage(HOST, { url: address });
  } catch (e) {
    reply = { ok: false, error: (e && e.message) || String(e) };
  }
  if (!reply || !reply.ok) {
    const why = (reply && reply.error) || "no answer";
    notify("ZOV Kestra Download cannot be reached: " + why);
  }
  return reply || { ok: false, error: "no answer" };
}

// The menu entry: a link's address, or the source of a picture, audio or
// video. Also the hook the end-to-end test calls through the DevTools protocol.
function handleMenuClick(info) {
  const address = info.linkUrl || info.srcUrl || "";
  if (!address)
    return Promise.resolve({ ok: false, error: "nothing to download here" });
  return handOver(address);
}
globalThis.handleMenuClick = handleMenuClick;

api.contextMenus.onClicked.addListener((info) => {
  if (info.menuItemId === MENU_ID)
    handleMenuClick(info);
});

// Optional: downloads the browser starts go to the program instead. The
// browser's own download is cancelled only once the program has the address.
api.downloads.onCreated.addListener(async (item) => {
  const { offerDownloads } = await api.storage.local.get("offerDownloads");
  const address = item.finalUrl || item.url || "";
  if (!offerDownloads || !/^(https?|ftp):\/\//i.test(address))
    return;
  const reply = await handOver(address);
  if (reply.ok) {
    await api.downloads.cancel(item.id);
    await api.downloads.erase({ id: item.id });
  }
});
