#include "support/proc_stats.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace kestrelgate::support {
namespace {

std::optional<std::string> readProcFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<std::string> readProcFile(pid_t pid, const char* file) {
  if (pid <= 0) return std::nullopt;
  return readProcFile("/proc/" + std::to_string(pid) + "/" + file);
}

// The leading number of the text after blanks, as /proc writes it.
std::optional<long> parseNumber(std::string_view text) {
  const std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return std::nullopt;
  long value = 0;
  const auto [end, error] = std::from_chars(text.data() + start, text.data() + text.size(), value);
  if (error != std::errc{}) return std::nullopt;
  return value;
}

// The fields of /proc/PID/stat after the command name, from the state (field 3) on. The name
// stands in parentheses and may itself hold blanks and parentheses; the fields after it are
// plain.
std::optional<std::vector<std::string>> statFields(pid_t pid) {
  const std::optional<std::string> stat = readProcFile(pid, "stat");
  if (!stat) return std::nullopt;
  const std::size_t close = stat->rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream words(stat->substr(close + 1));
  std::vector<std::string> fields;
  for (std::string field; words >> field;) fields.push_back(field);
  return fields;
}

// A "name:   value ..." line of /proc/PID/FILE as a number.
std::optional<long> namedField(pid_t pid, const char* file, std::string_view name) {
  const std::optional<std::string> text = readProcFile(pid, file);
  if (!text) return std::nullopt;
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 &&
        line[name.size()] == ':') {
      return parseNumber(std::string_view(line).substr(name.size() + 1));
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<long> cpuTicks(pid_t pid) {
  // utime and stime are fields 14 and 15; the list starts at field 3.
  const std::optional<std::vector<std::string>> fields = statFields(pid);
  if (!fields || fields->size() < 13) return std::nullopt;
  const std::optional<long> utime = parseNumber((*fields)[11]);
  const std::optional<long> stime = parseNumber((*fields)[12]);
  if (!utime || !stime) return std::nullopt;
  return *utime + *stime;
}

std::optional<char> schedulerState(pid_t pid) {
  const std::optional<std::vector<std::string>> fields = statFields(pid);
  if (!fields || fields->empty() || (*fields)[0].empty()) return std::nullopt;
  return (*fields)[0][0];
}

std::optional<bool> allThreadsAsleep(pid_t pid) {
  std::error_code error;
  bool any = false;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    // A thread's own stat is readable under its id as under a process id.
    const std::optional<char> state =
        schedulerState(static_cast<pid_t>(std::stol(task.path().filename().string())));
    if (!state) return std::nullopt;
    if (*state != 'S') return false;
    any = true;
  }
  if (error || !any) return std::nullopt;
  return true;
}

std::optional<long> statusField(pid_t pid, std::string_view name) {
  return namedField(pid, "status", name);
}

std::optional<long> readCalls(pid_t pid) {
  return namedField(pid, "io", "syscr");
}

std::vector<std::string> openFiles(pid_t pid) {
  std::vector<std::string> files;
  if (pid <= 0) return files;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), error);
    if (!error) files.push_back(target.string());
  }
  return files;
}

std::optional<std::vector<std::string>> sharedObjects(pid_t pid) {
  const std::optional<std::string> maps = readProcFile(pid, "maps");
  if (!maps) return std::nullopt;
  std::set<std::string> names;
  std::istringstream lines(*maps);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t slash = line.rfind('/');
    if (slash == std::string::npos) continue;
    std::string name = line.substr(slash + 1);
    if (name.find(".so") != std::string::npos) names.insert(std::move(name));
  }
  return std::vector<std::string>(names.begin(), names.end());
}

std::optional<std::string> loadAverage() {
  std::istringstream fields(readProcFile("/proc/loadavg").value_or(""));
  std::string one, five, fifteen;
  if (!(fields >> one >> five >> fifteen)) return std::nullopt;
  return one + " " + five + " " + fifteen;
}

}  // namespace kestrelgate::support
