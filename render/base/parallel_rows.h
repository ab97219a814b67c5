// Rows of an image handed out to threads, one row at a time.
#ifndef OSKA_RENDER_PARALLEL_ROWS_H
#define OSKA_RENDER_PARALLEL_ROWS_H

#include <functional>

namespace oska::render {

// Calls `row(y, thread)` once for every y in [begin, end), on `threads`
// threads numbered from 0 (each call's `thread` is the one running it), and
// `tick(rows_done)` from the calling thread about five times a second while
// they run. With one thread the rows run here, in order, ticking between
// them; with more, the calling thread only ticks.
void parallel_for_rows(int begin, int end, int threads, const std::function<void(int, int)> &row,
                       const std::function<void(int)> &tick);

} // namespace oska::render

#endif
