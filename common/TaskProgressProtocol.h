#pragma once
// What travels between a client of the task-progress service and the service:
// the service's port and message id, the keys of a notice (a binary property
// list) and of its information, the actions, and the key of a reaction sent
// back to the client's reply port (named by the notice's UUID).

inline constexpr const char* TM_MESSAGECLIENTMANAGER_PORT_NAME = "com.quillon.task.manager";
// Message id of a notice.
inline constexpr int TM_MESSAGECLIENTMANAGER_MESSAGE_ID = 200;

// Keys of a message.
inline constexpr const char* TM_MESSAGE_LEVEL = "TM_MESSAGE_LEVEL";
inline constexpr const char* TM_MESSAGE_ACTION = "TM_MESSAGE_ACTION";
inline constexpr const char* TM_MESSAGE_UUID = "TM_MESSAGE_UUID";
inline constexpr const char* TM_MESSAGE_USER_ID = "TM_MESSAGE_USER_ID";
inline constexpr const char* TM_MESSAGE_PARENT_PID = "TM_MESSAGE_PARENT_PID";
inline constexpr const char* TM_MESSAGE_INFORMATION = "TM_MESSAGE_INFORMATION";
inline constexpr const char* TM_MESSAGE_INFORMATION_TYPE = "TM_MESSAGE_INFORMATION_TYPE";
// Keys of the information dictionary.
inline constexpr const char* TM_MESSAGE_INFORMATION_TITLE = "TM_MESSAGE_INFORMATION_TITLE";
inline constexpr const char* TM_MESSAGE_INFORMATION_EXPLANATION = "TM_MESSAGE_INFORMATION_EXPLANATION";
inline constexpr const char* TM_MESSAGE_INFORMATION_ICON = "TM_MESSAGE_INFORMATION_ICON";
inline constexpr const char* TM_MESSAGE_INFORMATION_PROGRESSINDICATOR_STATUS =
    "TM_MESSAGE_INFORMATION_PROGRESSINDICATOR_STATUS";
inline constexpr const char* TM_MESSAGE_INFORMATION_TITLE_FORMAT_ARGUMENTS =
    "TM_MESSAGE_INFORMATION_TITLE_FORMAT_ARGUMENTS";
inline constexpr const char* TM_MESSAGE_INFORMATION_EXPLANATION_FORMAT_ARGUMENTS =
    "TM_MESSAGE_INFORMATION_EXPLANATION_FORMAT_ARGUMENTS";
inline constexpr const char* TM_MESSAGE_INFORMATION_ICON_PATH = "TM_MESSAGE_INFORMATION_ICON_PATH";
inline constexpr const char* TM_MESSAGE_INFORMATION_BUNDLE_PATH = "TM_MESSAGE_INFORMATION_BUNDLE_PATH";
inline constexpr const char* TM_MESSAGE_INFORMATION_DURATION = "TM_MESSAGE_INFORMATION_DURATION";
inline constexpr const char* TM_MESSAGE_INFORMATION_REACTION = "TM_MESSAGE_INFORMATION_REACTION";
inline constexpr const char* TM_MESSAGE_INFORMATION_PROGRESSINDICATOR_MINIMUM_VALUE =
    "TM_MESSAGE_INFORMATION_PROGRESSINDICATOR_MINIMUM_VALUE";
inline constexpr const char* TM_MESSAGE_INFORMATION_PROGRESSINDICATOR_VALUE =
    "TM_MESSAGE_INFORMATION_PROGRESSINDICATOR_VALUE";
inline constexpr const char* TM_MESSAGE_INFORMATION_PROGRESSINDICATOR_MAXIMUM_VALUE =
    "TM_MESSAGE_INFORMATION_PROGRESSINDICATOR_MAXIMUM_VALUE";
// Actions.
inline constexpr int TM_MESSAGE_ACTION_PROGRESSION = 0;
inline constexpr int TM_MESSAGE_ACTION_REMOVE = 1;
inline constexpr int TM_MESSAGE_ACTION_ERROR = 2;
inline constexpr int TM_MESSAGE_ACTION_INFORMATION = 3;

// Key of a reaction's answer (e.g. "closed" when the user dismissed the notice).
inline constexpr const char* TM_MESSAGE_REACTION = "TM_MESSAGE_REACTION";
