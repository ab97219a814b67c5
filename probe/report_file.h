// The report's files, written so that nothing already in the report folder
// is followed or overwritten by accident: each file goes to a new temporary
// of a short name of its own beside it, created only if no entry of that
// name exists (a link planted there makes it pick another name), and is
// renamed over the report only when every write and the close succeeded.
#ifndef OSKA_PROBE_REPORT_FILE_H
#define OSKA_PROBE_REPORT_FILE_H

#include <string>

namespace oska::probe {

// Writes `text` to `folder`/`name`. Empty on success, else why not, naming
// the file; the temporary is gone either way, and a report already there
// is left as it was unless the rename replaced it.
std::string write_report_file(const std::string &folder, const std::string &name,
                              const std::string &text);

} // namespace oska::probe

#endif
