// Documents, folders and web addresses opened for the user by the user's
// own shell.
#pragma once

// Asks the running desktop shell, which runs unelevated as the user, to
// open `what` as the user would by a double click. The elevated tool never
// opens anything itself: its shell would follow the user's registrations
// (file types, folder verbs, protocol handlers) and run them elevated.
// `arguments` (or null) go to a program that `what` names. False when there
// is no desktop shell to ask; nothing is opened then.
bool OpenInUserShell(const wchar_t* what, const wchar_t* arguments = nullptr);
