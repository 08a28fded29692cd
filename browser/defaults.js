// The extension's options with what holds until the user changes them.
// Catching takes only files of these types (or with no type in their name)
// that are not known to be smaller than the minimum.
"use strict";

const DEFAULTS = {
  offerDownloads: false,
  sendSession: false,
  notifySuccess: false,
  minimumMiB: 1,
  fileTypes: "7z appimage apk bin bz2 deb dmg exe flac gz img iso mkv mov mp3 mp4 msi ogg pdf rar rpm tar tgz wav webm xz zip zst",
};

// The site access that reading a site's cookies needs, asked for when the
// user switches on passing the session.
const SESSION_PERMISSIONS = { permissions: ["cookies"], origins: ["http://*/*", "https://*/*"] };
