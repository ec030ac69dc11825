// The page's timer for the core's sleeps and waits (platform/platform_thread_web.cpp). A
// dedicated worker's timers keep their pace while the page is hidden, where the page's own
// are held to one a second. Each message is [id, due, origin]: due on the page's clock,
// whose origin (performance.timeOrigin) comes along, so that the message's own way here
// does not count twice; the id goes back when the time is up. A timer fires up to a
// millisecond late, which would stretch the protocol's 20 ms pause after every packet by as
// much: the worker sets its timer a little short and waits out the rest itself.
'use strict';
var EARLY_MS = 1;

onmessage = function (e) {
  var id = e.data[0];
  var due = e.data[1] + (e.data[2] - performance.timeOrigin);
  setTimeout(function () {
    while (performance.now() < due) {
      // the last fraction of a millisecond
    }
    postMessage(id);
  }, Math.max(0, due - performance.now() - EARLY_MS));
};
