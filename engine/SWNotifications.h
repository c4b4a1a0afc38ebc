#pragma once
// Names of the distributed notifications that tie filters, engine and front ends
// together, and the keys their user-info dictionaries carry. Each constant bears
// the text it stands for.

namespace sw {

// Posted by the front end when a filter's (or, with object "General", the
// engine's) settings change; user info: the complete preference dictionary.
inline constexpr const char* SWPlugInPreferencesDidChange = "SWPlugInPreferencesDidChange";
// Posted by a filter after it learned (lists: {"Array": rules}); object: identifier.
inline constexpr const char* SWPlugInPreferencesDidLearn = "SWPlugInPreferencesDidLearn";
// Posted by the engine after it saved statistics; object: identifier or "General".
inline constexpr const char* SWPlugInStatisticsDidUpdate = "SWPlugInStatisticsDidUpdate";
// Local to the front end: one filter's statistics were reset;
// user info {"SWPluginIdentifier": identifier}.
inline constexpr const char* SWPlugInStatisticsDidReset = "SWPlugInStatisticsDidReset";
// Posted by the front end after deleting statistics files; object: identifier,
// or none for all; user info {"SWMAILSTARTDATE": date of the reset}.
inline constexpr const char* SWSievraPlugInStatisticsDidReset = "SWSievraPlugInStatisticsDidReset";
// Posted by the status menu; user info {identifier: boolean}.
inline constexpr const char* SWSievraPlugInsStatusDidChange = "SWSievraPlugInsStatusDidChange";
// Switches filters (or, with key "General", the whole engine) on and off;
// object: the sender's identifier; user info {identifier: boolean}.
inline constexpr const char* distributedNotificationStatusOfFilterDidChange =
    "distributedNotificationStatusOfFilterDidChange";
// Posted by the log viewer after the user cleared the log; the engine empties the file.
inline constexpr const char* JKW5_DISTRIBUTEDNOTIFICATION_LOG_RESET = "JKW5_DISTRIBUTEDNOTIFICATION_LOG_RESET";
// Used inside the front end only.
inline constexpr const char* SWPlugInProtectionStatusDidChange = "SWPlugInProtectionStatusDidChange";

// Local notification posted inside the engine by a plug-in; object: boolean.
inline constexpr const char* SWAutomaticallyLearnNotification = "Automatically Learn";

// Identifier of the engine's own preferences and statistics.
inline constexpr const char* SWGeneralIdentifier = "General";

// Keys of preference files and of plug-in bundle information dictionaries.
inline constexpr const char* SWPreferencesStatusKey = "Status";
inline constexpr const char* SWPreferencesSettingsKey = "Settings";
inline constexpr const char* SWPluginIdentifierKey = "SWPluginIdentifier";
inline constexpr const char* SWPluginPathKey = "Path";
inline constexpr const char* SWPluginCategoryKey = "Category";
inline constexpr const char* SWPluginVersionKey = "Version";
inline constexpr const char* SWPluginServiceIDKey = "ServiceID";
inline constexpr const char* SWPluginUpdateSupportKey = "UpdateSupport";
inline constexpr const char* SWPluginServiceDateKey = "Service Date";
inline constexpr const char* SWDefaultEngineStatusKey = "Default Engine Status";
inline constexpr const char* SWDefaultEngineSettingsKey = "Default Engine Settings";
inline constexpr const char* SWEngineBundleName = "Engine.bundle";

// Keys of a statistics dictionary.
inline constexpr const char* SWMAILSTARTDATE = "SWMAILSTARTDATE";
inline constexpr const char* SWMAILPROCESSED = "SWMAILPROCESSED";
inline constexpr const char* SWMAILSPAMDETECTED = "SWMAILSPAMDETECTED";
inline constexpr const char* SWMAILHAMDETECTED = "SWMAILHAMDETECTED";
inline constexpr const char* SWMAILFALSEPOSITIVE = "SWMAILFALSEPOSITIVE";

}  // namespace sw
