// A page opened as a file may not start a web worker, and the search runs
// in one. There the worker's script runs in a hidden frame of the page
// instead, with the same messages. (The file name tells the theme's offline
// plugin that the page has this shim already, so it adds no script from a
// CDN.)
(function () {
  if (location.protocol !== "file:") {
    return;
  }
  class FrameWorker extends EventTarget {
    constructor(url) {
      super();
      this.waiting = [];
      this.frame = document.createElement("iframe");
      this.frame.hidden = true;
      document.documentElement.appendChild(this.frame);
      this.scope = this.frame.contentWindow;
      // The worker's own postMessage answers the page; messages are copied
      // across, as between a worker and its page.
      this.scope.postMessage = (data) => {
        const copy = structuredClone(data);
        setTimeout(() => this.dispatchEvent(new MessageEvent("message", { data: copy })));
      };
      const script = this.scope.document.createElement("script");
      script.src = url;
      script.onload = () => {
        const waiting = this.waiting;
        this.waiting = null;
        waiting.forEach((data) => this.deliver(data));
      };
      this.scope.document.head.appendChild(script);
    }
    deliver(data) {
      const copy = this.scope.structuredClone(data);
      this.scope.dispatchEvent(new this.scope.MessageEvent("message", { data: copy }));
    }
    postMessage(data) {
      if (this.waiting) {
        this.waiting.push(data);
      } else {
        setTimeout(() => this.deliver(data));
      }
    }
    terminate() {
      this.frame.remove();
    }
  }
  window.Worker = FrameWorker;
})();
