#include "app/output_paths.h"

#include <algorithm>

#include "targets/unicode_text.h"

namespace pt {

std::string pathFor(std::string_view path, std::string_view name) {
  std::string result;
  for (std::size_t at; (at = path.find(kNamePlaceholder)) != std::string_view::npos;) {
    result.append(path.substr(0, at)).append(name);
    path.remove_prefix(at + kNamePlaceholder.size());
  }
  return result.append(path);
}

std::vector<std::string> fileNames(const std::vector<AudioProcessInfo>& targets,
                                   const std::optional<InputDevice>& input) {
  std::vector<std::string> names, tags;
  for (const AudioProcessInfo& target : targets) {
    names.push_back(target.name);
    tags.push_back(std::to_string(target.pid));
  }
  if (input) {
    names.push_back(input->name);
    tags.emplace_back("input");
  }
  for (std::string& name : names)
    std::replace_if(
        name.begin(), name.end(), [](char c) { return c == '/' || c == '\0'; }, '_');
  // Alike also where the file system ignores case and normalization (macOS's, by default): the
  // NFC form of the lower-cased name, made once per name.
  std::vector<std::string> keys;
  for (const std::string& name : names) keys.push_back(scalarOrderKey(lowercased(name)));
  std::vector<std::string> unique = names;
  for (std::size_t i = 0; i < names.size(); ++i)
    if (names[i].empty() || std::count(keys.begin(), keys.end(), keys[i]) > 1)
      unique[i] += (names[i].empty() ? "" : "-") + tags[i];
  return unique;
}

std::vector<TrackSource> trackSources(const std::string& path, KeywordTargets targets) {
  if (path.find(kNamePlaceholder) == std::string::npos)
    return {TrackSource{std::move(targets.targets), std::move(targets.excluded), path,
                        std::move(targets.input)}};
  const std::vector<std::string> names = fileNames(targets.targets, targets.input);
  std::vector<TrackSource> tracks;
  for (std::size_t i = 0; i < targets.targets.size(); ++i) {
    AudioProcessInfo& target = targets.targets[i];
    std::vector<AudioProcessInfo> excluded;
    if (!target.objectID.isValid()) excluded = targets.excluded;
    tracks.push_back({{std::move(target)}, std::move(excluded), pathFor(path, names[i])});
  }
  if (targets.input)
    tracks.push_back({{}, {}, pathFor(path, names.back()), std::move(targets.input)});
  return tracks;
}

}  // namespace pt
