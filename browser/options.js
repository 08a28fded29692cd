"use strict";
const api = globalThis.browser ?? globalThis.chrome;
const field = (key) => document.getElementById(key);

api.storage.local.get(DEFAULTS).then((options) => {
  for (const [key, value] of Object.entries(options)) {
    if (typeof value === "boolean")
      field(key).checked = value;
    else
      field(key).value = value;
  }
});

for (const key of ["offerDownloads", "notifySuccess"])
  field(key).addEventListener("change", () => api.storage.local.set({ [key]: field(key).checked }));
field("minimumMiB").addEventListener("change", () => {
  const value = Number(field("minimumMiB").value);
  api.storage.local.set({ minimumMiB: Number.isFinite(value) && value >= 0 ? value : DEFAULTS.minimumMiB });
});
field("fileTypes").addEventListener("change", () => api.storage.local.set({ fileTypes: field("fileTypes").value }));

// Reading the sites' cookies is asked for when the user switches it on (the
// click is the gesture the browser wants), and given back when switched off.
field("sendSession").addEventListener("change", async () => {
  const box = field("sendSession");
  if (box.checked)
    box.checked = await api.permissions.request(SESSION_PERMISSIONS).catch(() => false);
  else
    await api.permissions.remove(SESSION_PERMISSIONS).catch(() => false);
  await api.storage.local.set({ sendSession: box.checked });
});
