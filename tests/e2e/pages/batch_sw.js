// Answers every page of its scope itself: a later job that shows this text
// ran under an earlier job's service worker.
self.addEventListener("install", () => self.skipWaiting());
self.addEventListener("activate", (e) => e.waitUntil(self.clients.claim()));
self.addEventListener("fetch", (e) => {
  if (e.request.mode === "navigate")
    e.respondWith(new Response("<p>LEAKED service worker</p>", {headers: {"Content-Type": "text/html"}}));
});
