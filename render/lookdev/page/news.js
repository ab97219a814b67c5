// The server's news as it happens: one event stream per page brings every
// change of the values, the messages, the curves of the light in view and
// the passes of the render, whoever caused it. Images are not in the stream:
// an event says a newer pass is ready and the page fetches it.
import { store, token } from './page.js';

let stream = null;
let retry = null;

// Opens the page's stream, or opens it again (another light's curves, a
// server back after a break), from what the page has already: `take(news)`
// gets each event, `lost()` hears of a break.
export function listen(take, lost) {
  if (stream) stream.close();
  clearTimeout(retry);
  const { frame, messages, curvesSerial, valuesSerial, light } = store.get();
  // A stream cannot carry a header: the token goes in its address.
  const query =
    `token=${encodeURIComponent(token)}&frame=${frame}&messages=${messages}` +
    `&curves=${curvesSerial}&values=${valuesSerial}&light=${light}`;
  const opened = new EventSource('/api/events?' + query);
  stream = opened;
  opened.onmessage = (e) => take(JSON.parse(e.data));
  opened.onerror = () => {
    // The browser would try again from what the page had when the stream
    // first opened; the page tries again itself, from what it has now.
    opened.close();
    if (stream !== opened) return;
    lost();
    retry = setTimeout(() => listen(take, lost), 1000);
  };
}
