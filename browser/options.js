"use strict";
const api = globalThis.browser ?? globalThis.chrome;
const box = document.getElementById("offerDownloads");
api.storage.local.get("offerDownloads").then(({ offerDownloads }) => {
  box.checked = !!offerDownloads;
});
box.addEventListener("change", () => api.storage.local.set({ offerDownloads: box.checked }));
