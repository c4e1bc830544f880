#include "core/fpga/snn_csim_cache.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <vector>

#include "core/errors.hpp"
#include "core/fpga/snn_csim.hpp"
#include "core/io/temp_file.hpp"
#include "core/io/whole_file.hpp"
#include "core/tools/sha256.hpp"

namespace zelka::fpga::snn {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kept_digest_digits = 16;

// `text` preceded by its length, so that no two sequences of parts hash alike.
void add_part(tools::Sha256& hash, const std::string& text) {
  hash.update(std::to_string(text.size()) + ":");
  hash.update(text);
}

// The regular files below `folder`, as paths relative to it, sorted.
std::vector<std::string> files_below(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code error;
  fs::recursive_directory_iterator entry(folder, error), end;
  for (; !error && entry != end; entry.increment(error))
    if (entry->is_regular_file(error))
      files.push_back(fs::relative(entry->path(), folder).string());
  if (error) throw OSError(error.value(), folder);
  std::sort(files.begin(), files.end());
  return files;
}

std::string kept_folder(const std::string& folder, std::string_view kept_in) {
  return folder + "/" + std::string(kept_in);
}

// The start of the names of the programs of project `name` built from sources of `digest`.
std::string kept_prefix(const std::string& name, const std::string& digest) {
  return name + "_" + digest.substr(0, kept_digest_digits) + "_";
}

bool is_digest_digits(std::string_view digits) {
  return digits.size() == kept_digest_digits &&
         std::all_of(digits.begin(), digits.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Whether `file` is a program kept for project `name`: {name}_, the sources' digest digits and,
// from this version on, _ and the program's own (a name without them is an older version's).
bool is_kept_name(std::string_view file, const std::string& name) {
  if (!file.starts_with(name + "_")) return false;
  const std::string_view digests = file.substr(name.size() + 1);
  if (digests.size() == kept_digest_digits) return is_digest_digits(digests);
  return digests.size() == 2 * kept_digest_digits + 1 && digests[kept_digest_digits] == '_' &&
         is_digest_digits(digests.substr(0, kept_digest_digits)) &&
         is_digest_digits(digests.substr(kept_digest_digits + 1));
}

// Whether the file at `path` is a program its owner may run whose bytes' SHA-256 starts with
// the digits `digest_digits`.
bool is_intact_program(const std::string& path, std::string_view digest_digits) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !(st.st_mode & S_IXUSR))
    return false;
  try {
    return tools::sha256_hex(io::read_whole_file(path)).starts_with(digest_digits);
  } catch (const OSError&) {  // unreadable: built again
    return false;
  }
}

}  // namespace

std::string sources_digest(const std::vector<std::string>& arguments, const std::string& folder,
                           const std::vector<std::string>& source_folders,
                           const std::vector<std::string>& sources) {
  tools::Sha256 hash;
  for (const std::string& argument : arguments) add_part(hash, argument);
  std::vector<std::string> files;
  for (const std::string& below : source_folders)
    for (const std::string& file : files_below(folder + "/" + below))
      files.push_back(below + "/" + file);
  files.insert(files.end(), sources.begin(), sources.end());
  for (const std::string& source : files) {
    add_part(hash, source);
    add_part(hash, io::read_whole_file(folder + "/" + source));
  }
  return hash.hex_digest();
}

std::string csim_sources_digest(const std::string& compiler, const std::string& folder,
                                const std::string& name) {
  return sources_digest(csim_build_arguments(compiler, folder, name, ""), folder, {"firmware"},
                        {name + "_tb.cpp"});
}

std::optional<std::string> find_kept_program(const std::string& folder, std::string_view kept_in,
                                             const std::string& name, const std::string& digest) {
  const std::string prefix = kept_prefix(name, digest);
  std::optional<std::string> found;
  std::error_code ignored;
  for (const fs::directory_entry& entry :
       fs::directory_iterator(kept_folder(folder, kept_in), ignored)) {
    const std::string file = entry.path().filename().string();
    if (found || !file.starts_with(prefix) || !is_kept_name(file, name)) continue;
    if (is_intact_program(entry.path().string(), std::string_view(file).substr(prefix.size())))
      found = entry.path().string();
    else
      fs::remove(entry.path(), ignored);
  }
  return found;
}

std::string keep_program(const std::string& built, const std::string& folder,
                         std::string_view kept_in, const std::string& name,
                         const std::string& digest) {
  const std::string program = io::read_whole_file(built);
  const std::string kept_file =
      kept_prefix(name, digest) + tools::sha256_hex(program).substr(0, kept_digest_digits);
  const std::string directory = kept_folder(folder, kept_in);
  const std::string kept = directory + "/" + kept_file;
  std::error_code error;
  fs::create_directories(directory, error);
  if (error) throw OSError(error.value(), directory);
  io::TempFile copy(kept);
  copy.write(program);
  if (::chmod(copy.path().c_str(), 0755) != 0) throw OSError(errno, kept);
  copy.move_into_place();
  // Programs of sources that have changed since are never run again.
  std::error_code ignored;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory, ignored)) {
    const std::string file = entry.path().filename().string();
    if (file != kept_file && is_kept_name(file, name)) fs::remove(entry.path(), ignored);
  }
  return kept;
}

}  // namespace zelka::fpga::snn
