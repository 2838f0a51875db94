#include "catalog/predecessors.hpp"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
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

constexpr std::string_view kDigits = "0123456789";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// `path` with every run of digits replaced by one marker.
std::string versionKey(std::string_view path) {
  std::string key;
  key.reserve(path.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (!isDigit(path[i])) {
      key += path[i];
    } else if (i == 0 || !isDigit(path[i - 1])) {
      key += kNumberMarker;
    }
  }
  return key;
}

// The runs of digits of `path`, each without its leading zeros.
std::vector<std::string_view> numbersOf(std::string_view path) {
  std::vector<std::string_view> numbers;
  for (std::size_t start = path.find_first_of(kDigits); start != std::string_view::npos;) {
    std::size_t end = path.find_first_not_of(kDigits, start);
    end = end == std::string_view::npos ? path.size() : end;
    const std::string_view run = path.substr(start, end - start);
    numbers.push_back(run.substr(std::min(run.find_first_not_of('0'), run.size())));
    start = path.find_first_of(kDigits, end);
  }
  return numbers;
}

// True when `a` is a lower version than `b`, two paths with the same key: by
// their numbers in turn, then by their text ("01" against "1").
bool lowerVersion(std::string_view a, std::string_view b) {
  const std::vector<std::string_view> x = numbersOf(a);
  const std::vector<std::string_view> y = numbersOf(b);
  for (std::size_t i = 0; i < std::min(x.size(), y.size()); ++i) {
    if (x[i].size() != y[i].size()) {
      return x[i].size() < y[i].size();
    }
    if (x[i] != y[i]) {
      return x[i] < y[i];
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
    if (added.first.find_first_of(kDigits) != std::string::npos) {
      if (const auto found = byVersion_.find(versionKey(added.first)); found != byVersion_.end()) {
        return found->second;
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
    for (const Entry* entry : candidates_) {
      // In path order, so that the first of equal candidates stays.
      const auto [same, first] = byDigest_.try_emplace(entry->second, entry);
      if (!first && gone(entry) && !gone(same->second)) {
        same->second = entry;
      }
      if (entry->first.find_first_of(kDigits) == std::string::npos) {
        continue;
      }
      const auto [slot, inserted] = byVersion_.try_emplace(versionKey(entry->first), entry);
      const Entry* held = slot->second;
      if (!inserted &&
          (gone(entry) != gone(held) ? gone(entry) : lowerVersion(held->first, entry->first))) {
        slot->second = entry;
      }
    }
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
  std::unordered_map<std::string, const Entry*> byVersion_;
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
