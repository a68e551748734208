#include "app/results.h"

#include "core/paths.h"

namespace tovra {
namespace {

bool ascii_alphanumeric(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

Json path_strings(const std::vector<std::filesystem::path>& paths) {
  Json array = Json::array();
  for (const auto& path : paths) array.push_back(utf8_path(path));
  return array;
}

Json install_document(const InstallResult& result) {
  Json document = Json::object();
  document["bootstrap"] = utf8_path(result.bootstrap);
  document["data_root"] = utf8_path(result.data_root);
  document["installed"] = true;
  document["repaired"] = result.repaired;
  document["replaced"] = result.replaced;
  document["schema_version"] = 1;
  document["shortcut_problem"] = result.shortcut_problem.empty() ? Json(nullptr) : Json(result.shortcut_problem);
  document["shortcuts"] = path_strings(result.shortcuts);
  return document;
}

Json status_document(const StatusResult& result) {
  Json document = Json::object();
  document["bootstrap_build"] = result.bootstrap_build;
  document["bootstrap_update_pending"] = result.bootstrap_update_pending;
  document["data_root"] = utf8_path(result.data_root);
  document["incomplete"] = result.incomplete;
  document["installed"] = result.installed;
  if (result.last_operation) {
    const SetupStatus& last = *result.last_operation;
    document["last_operation"] = {{"action", last.action},
                                  {"finished_at", last.finished_at},
                                  {"message", last.message},
                                  {"outcome", last.outcome}};
  } else {
    document["last_operation"] = nullptr;
  }
  document["launcher_build"] = result.launcher_build;
  document["schema_version"] = 1;
  document["shortcuts"] = path_strings(result.shortcuts);
  return document;
}

Json uninstall_document(const UninstallResult& result) {
  Json document = Json::object();
  document["changed_shortcuts"] = path_strings(result.changed_shortcuts);
  document["data_removed"] = result.data_removed;
  document["data_root"] = utf8_path(result.data_root);
  document["deferred"] = path_strings(result.deferred);
  document["kept"] = path_strings(result.kept);
  document["schema_version"] = 1;
  document["uninstalled"] = true;
  return document;
}

Json shortcut_create_document(const std::filesystem::path& created) {
  return Json{{"created", utf8_path(created)}, {"schema_version", 1}};
}

Json shortcut_remove_document(const ShortcutRemoval& removal) {
  return Json{{"changed", path_strings(removal.changed)},
              {"removed", path_strings(removal.removed)},
              {"schema_version", 1}};
}

Json problem_document(const Error& error) {
  return Json{{"problem", {{"code", error.code()}, {"message", error.what()}}}, {"schema_version", 1}};
}

std::string serialize_document(const Json& document) {
  return document.dump(-1, ' ', false, Json::error_handler_t::strict);
}

std::string brand_text(std::string_view text) {
  constexpr std::string_view kName = "Tovra";
  if (product_name == kName) return std::string(text);
  std::string result;
  std::size_t from = 0;
  for (std::size_t at = text.find(kName); at != std::string_view::npos; at = text.find(kName, at + kName.size())) {
    const std::size_t after = at + kName.size();
    const bool glued = (at > 0 && ascii_alphanumeric(text[at - 1])) ||
                       (after < text.size() && ascii_alphanumeric(text[after]));
    if (glued) continue;
    result.append(text.substr(from, at - from));
    result += product_name;
    from = after;
  }
  result.append(text.substr(from));
  return result;
}

std::string result_text(CommandKind command, const Json& document) {
  std::string text;
  switch (command) {
    case CommandKind::install:
    case CommandKind::repair: {
      const bool repaired = document.at("repaired").get<bool>();
      text = brand_text(repaired ? "Repaired Tovra in " : "Installed Tovra in ");
      text += document.at("data_root").get<std::string>() + ".";
      if (repaired && document.at("replaced").empty()) text += " Everything was already intact.";
      if (const Json& problem = document.at("shortcut_problem"); !problem.is_null())
        text += " The shortcut could not be created: " + problem.get<std::string>();
      break;
    }
    case CommandKind::status: {
      const std::string root = document.at("data_root").get<std::string>();
      if (document.at("incomplete").get<bool>()) {
        text = brand_text("Tovra setup did not finish in ") + root + "; run repair.";
      } else if (!document.at("installed").get<bool>()) {
        text = brand_text("Tovra is not installed in ") + root + ".";
      } else {
        text = brand_text("Tovra is installed in ") + root + " (bootstrap " +
               document.at("bootstrap_build").get<std::string>();
        const std::string launcher = document.at("launcher_build").get<std::string>();
        text += launcher.empty() ? ", launcher not started yet)." : ", launcher " + launcher + ").";
        if (document.at("bootstrap_update_pending").get<bool>())
          text += brand_text(" A Tovra update is applied on the next start.");
      }
      break;
    }
    case CommandKind::uninstall:
      text = brand_text("Removed Tovra from ") + document.at("data_root").get<std::string>() + ".";
      if (!document.at("kept").empty()) text += " Saves and settings were kept.";
      if (!document.at("changed_shortcuts").empty()) text += " Changed shortcuts were left in place.";
      break;
    case CommandKind::shortcut_create:
      text = "Created " + document.at("created").get<std::string>() + ".";
      break;
    case CommandKind::shortcut_remove:
      text = "Removed " + std::to_string(document.at("removed").size()) + " shortcut(s).";
      break;
  }
  return text;
}

}  // namespace tovra
