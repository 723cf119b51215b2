// Runs tests/readers/read-movie.js and takes its key=value lines apart.
#include "tests/readers.h"

#include <sstream>

#include "tests/support.h"

namespace testing_support {

namespace {

std::string scriptFolder() {
  const std::string source = __FILE__;
  return source.substr(0, source.find_last_of('/')) + "/readers";
}

}  // namespace

ReaderReport readMovieWith(const std::string& reader, const std::string& path) {
  ReaderReport report;
  std::string out;
  const int status = runShell("node " + shellQuote(scriptFolder() + "/read-movie.js") + " " +
                                  shellQuote(reader) + " " + shellQuote(path) + " 2>&1",
                              &out);
  report.ran = status == 0;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
      report.errors.push_back("unexpected output: " + line);
      continue;
    }
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (key == "error") {
      report.errors.push_back(value);
    } else if (key == "tracks") {
      report.tracks = std::stoi(value);
    } else {
      report.track[key] = value;
    }
  }
  return report;
}

bool readersAvailable(std::string& why) {
  if (runShell("command -v node >/dev/null 2>&1") != 0) {
    why = "node is not installed";
    return false;
  }
  if (runShell("command -v mkvmerge >/dev/null 2>&1") != 0) {
    why = "mkvmerge (mkvtoolnix) is not installed";
    return false;
  }
  if (runShell("test -f " + shellQuote(scriptFolder() + "/node_modules/mp4box/package.json")) !=
      0) {
    why = "mp4box is not installed in tests/readers (scripts/test.sh installs it)";
    return false;
  }
  return true;
}

}  // namespace testing_support
