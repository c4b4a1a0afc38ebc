#pragma once
// Names shared by the front end's main window and the filter panels: local
// notifications, keys of a "UI.bundle" information dictionary and of a plug-in
// entry, user-default keys. Each constant bears the text it stands for.

namespace swui {

// Local notifications of the front end.
// A panel reloaded its statistics; object: identifier, user info: the statistics.
inline constexpr const char* SWSievraPlugInLocalScoreDidChange = "SWSievraPlugInLocalScoreDidChange";
// A panel loaded its preferences; object: identifier, user info {"Status": boolean}.
inline constexpr const char* SWSievraPlugInsLocalPostStatus = "SWSievraPlugInsLocalPostStatus";
// A filter was switched in the list or from outside; object: identifier,
// user info {"Status": boolean}.
inline constexpr const char* SWSievraPlugInsLocalPostStatusDidChange = "SWSievraPlugInsLocalPostStatusDidChange";
// After an import, and when all settings changed.
inline constexpr const char* SWPlugInSettingsDidImport = "SWPlugInSettingsDidImport";
// Object: a boolean, true when a dialog opens, false when it closes.
inline constexpr const char* JKW5_USERINTERFACE_DIALOGDISPLAYED_DIDCHANGE =
    "JKW5_USERINTERFACE_DIALOGDISPLAYED_DIDCHANGE";

// Distributed notifications heard by the main window.
inline constexpr const char* SWPlugInAllSettingsDidChange = "SWPlugInAllSettingsDidChange";
inline constexpr const char* userManualDidBecomeAvailable = "userManualDidBecomeAvailable";

// Keys of a "UI.bundle" information dictionary and of the main window's plug-in entry.
inline constexpr const char* SWUIPreferedPositionKey = "Prefered Position";
inline constexpr const char* SWUIInternalEngineKey = "Internal Engine";
inline constexpr const char* SWUIHitKey = "HitKey";
inline constexpr const char* SWUIGraphKey = "GraphKey";
inline constexpr const char* SWUIBundleKey = "Bundle";
inline constexpr const char* SWUIInstanceKey = "Instance";
inline constexpr const char* SWUIToolBarToolTipKey = "ToolBarToolTip";
inline constexpr const char* SWUIToolBarNameKey = "ToolBarName";
inline constexpr const char* SWUIToolBarImage = "ToolBarImage";
inline constexpr const char* SWUIIconKey = "Icon";
inline constexpr const char* SWUINameKey = "Name";
inline constexpr const char* SWUIScoreKey = "Score";
inline constexpr const char* SWUISeparatorKey = "Separator";

// Preference key of a panel: the histogram period last chosen.
inline constexpr const char* SWUIStatisticsPeriodKey = "statistics.period";

// Class tag of panel principal classes in the class registry.
inline constexpr const char* SWPlugInUIClassTag = "SWPlugInUI";

// The front end's bundle identifier: its user defaults are named after it.
inline constexpr const char* JKW5FrontEndBundleIdentifier = "com.quillon.Junkward5";

}  // namespace swui
