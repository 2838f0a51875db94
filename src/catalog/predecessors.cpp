#include "catalog/predecessors.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace catalog {
namespace {

using Entry = formats::Release::value_type;

// Stands for a run of digits in a version key: no path holds it.
constexpr char kNumberMarker = '\0';

// A file name that more vanished folders than this hold says nothing about
// which of them a new folder was: it casts no vote, which keeps the count
// linear in the paths however common the name.
constexpr std::size_t kMaximumVoters = 8;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Where the first character from `at` on that is a digit, or is not one when
// `digit` is false, is in `text`; its size when there is none. A loop rather
// than find_first_of, which searches the set once per character.
std::size_t findDigit(std::string_view text, std::size_t at, bool digit = true) {
  while (at < text.size() && isDigit(text[at]) != digit) {
    ++at;
  }
  return at;
}

// `path` with each run of digits between `begin` and `end` replaced by one marker.
std::string masked(std::string_view path, std::size_t begin, std::size_t end) {
  std::string key(path.substr(0, begin));
  for (std::size_t i = begin; i < end; ++i) {
    if (!isDigit(path[i])) {
      key += path[i];
    } else if (i == begin || !isDigit(path[i - 1])) {
      key += kNumberMarker;
    }
  }
  key += path.substr(end);
  return key;
}

// The keys under which `path` is a version of another path, most alike first:
// per component with digits, from the root, the path with the numbers of that
// component masked; then, when several components have them, with all masked.
// Most versioned paths change in one component ("pkg-1.4/lib/a.so"), while the
// numbers of the others tell files apart ("nls_cp936.ko", "nls_cp950.ko").
void versionKeys(std::string_view path, std::vector<std::string>& keys) {
  keys.clear();
  for (std::size_t begin = 0; begin <= path.size();) {
    const std::size_t end = std::min(path.find('/', begin), path.size());
    if (findDigit(path, begin) < end) {
      keys.push_back(masked(path, begin, end));
    }
    begin = end + 1;
  }
  if (keys.size() > 1) {
    keys.push_back(masked(path, 0, path.size()));
  }
}

// The next run of digits of `text` from `at` as a number (without its leading
// zeros), moving `at` past it; false when there is none.
bool nextNumber(std::string_view text, std::size_t& at, std::string_view& number) {
  const std::size_t start = findDigit(text, at);
  if (start == text.size()) {
    return false;
  }
  at = findDigit(text, start, false);
  number = text.substr(start, at - start);
  number.remove_prefix(std::min(number.find_first_not_of('0'), number.size()));
  return true;
}

// True when `a` is a lower version than `b`: by their numbers in turn, then by
// their text ("01" against "1").
bool lowerVersion(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  std::string_view x;
  std::string_view y;
  while (nextNumber(a, i, x) && nextNumber(b, j, y)) {
    if (x.size() != y.size()) {
      return x.size() < y.size();
    }
    if (x != y) {
      return x < y;
    }
  }
  return a < b;
}

std::string_view folderOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

std::string_view nameOf(std::string_view path) { return path.substr(path.rfind('/') + 1); }

bool mayPrecede(const Entry& entry) {
  return !entry.second.empty() && formats::mayPrecede(entry.first);
}

// What the finder consults, each built in one pass over the releases.
class Finder {
 public:
  Finder(const formats::Release& previous, const formats::Release& current)
      : previous_(previous), current_(current) {
    for (const Entry& entry : previous) {
      if (mayPrecede(entry)) {
        candidates_.push_back(&entry);
      }
    }
    indexVersionsAndDigests();
    inferFolderRenames();
  }

  const Entry* find(const Entry& added) const {
    std::vector<std::string> keys;
    versionKeys(added.first, keys);
    std::vector<std::string> held;
    for (const std::string& key : keys) {
      const std::size_t hash = std::hash<std::string>{}(key);
      const auto found = std::ranges::lower_bound(byVersion_, hash, {}, &Keyed::hash);
      // The hash only finds the candidate; its own keys tell whether it fits.
      if (found != byVersion_.end() && found->hash == hash) {
        versionKeys(found->entry->first, held);
        if (std::ranges::find(held, key) != held.end()) {
          return found->entry;
        }
      }
    }
    if (const auto renamed = renames_.find(folderOf(added.first)); renamed != renames_.end()) {
      std::string path(renamed->second);
      path += path.empty() ? "" : "/";
      path += nameOf(added.first);
      if (const auto old = previous_.find(path); old != previous_.end() && mayPrecede(*old)) {
        return &*old;
      }
    }
    const auto same = byDigest_.find(added.second);
    return same == byDigest_.end() ? nullptr : same->second;
  }

 private:
  bool gone(const Entry* entry) const { return !current_.contains(entry->first); }

  void indexVersionsAndDigests() {
    std::vector<std::string> keys;
    for (const Entry* entry : candidates_) {
      const bool isGone = gone(entry);
      // In path order, so that the first of equal candidates stays.
      const auto [same, first] = byDigest_.try_emplace(entry->second, entry);
      if (!first && isGone && !gone(same->second)) {
        same->second = entry;
      }
      versionKeys(entry->first, keys);
      for (const std::string& key : keys) {
        byVersion_.push_back({std::hash<std::string>{}(key), isGone, entry});
      }
    }
    // Only the preferred candidate of each hash stays, the one a lookup finds:
    // a path that the current release lacks, then the highest version.
    std::ranges::sort(byVersion_, {}, &Keyed::hash);
    std::vector<Keyed> preferred;
    for (const Keyed& next : byVersion_) {
      if (preferred.empty() || preferred.back().hash != next.hash) {
        preferred.push_back(next);
      } else if (Keyed& held = preferred.back();
                 next.gone != held.gone ? next.gone
                                        : lowerVersion(held.entry->first, next.entry->first)) {
        held = next;
      }
    }
    byVersion_ = std::move(preferred);
  }

  // Each new folder's vote goes, per file name it holds, to every vanished
  // folder that holds the name too; the most votes win, ties to the first.
  void inferFolderRenames() {
    std::unordered_set<std::string_view> before;
    std::unordered_set<std::string_view> after;
    for (const Entry& entry : previous_) {
      before.insert(folderOf(entry.first));
    }
    for (const Entry& entry : current_) {
      after.insert(folderOf(entry.first));
    }
    std::unordered_map<std::string_view, std::vector<std::string_view>> holders;
    for (const Entry* entry : candidates_) {
      if (const std::string_view folder = folderOf(entry->first); !after.contains(folder)) {
        holders[nameOf(entry->first)].push_back(folder);
      }
    }
    std::unordered_map<std::string_view, std::unordered_map<std::string_view, std::size_t>> votes;
    for (const Entry& entry : current_) {
      const std::string_view folder = folderOf(entry.first);
      const auto held = holders.find(nameOf(entry.first));
      if (before.contains(folder) || held == holders.end() ||
          held->second.size() > kMaximumVoters) {
        continue;
      }
      for (const std::string_view old : held->second) {
        ++votes[folder][old];
      }
    }
    for (const auto& [folder, counts] : votes) {
      const auto best = std::ranges::min_element(counts, [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
      });
      renames_.emplace(folder, best->first);
    }
  }

  const formats::Release& previous_;
  const formats::Release& current_;
  std::vector<const Entry*> candidates_;  // the paths that may precede, in path order
  struct Keyed {
    std::size_t hash = 0;  // of a version key
    bool gone = false;     // from the current release
    const Entry* entry = nullptr;
  };
  // The preferred candidate per version key, by its hash, sorted: a vector,
  // since a release of a million paths has millions of keys.
  std::vector<Keyed> byVersion_;
  std::unordered_map<std::string_view, const Entry*> byDigest_;
  std::unordered_map<std::string_view, std::string_view> renames_;  // new folder: old folder
};

}  // namespace

std::map<std::string, formats::FileDescription::Predecessor> findPredecessors(
    const formats::Release& previous, const formats::Release& current) {
  std::map<std::string, formats::FileDescription::Predecessor> found;
  const Finder finder(previous, current);
  for (const Entry& added : current) {
    if (added.second.empty() || previous.contains(added.first)) {
      continue;
    }
    if (const Entry* from = finder.find(added)) {
      found.emplace_hint(found.end(), added.first,
                         formats::FileDescription::Predecessor{from->second, from->first});
    }
  }
  return found;
}

}  // namespace catalog
