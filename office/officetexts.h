#pragma once

#include "remote/remotetexts.h"

#include <QByteArray>

// What the office's page shows in words, in the languages the console
// speaks, from the console's own translation (remotetexts.h): the page's own
// texts and the console's names of the transport commands. The page holds
// no text of its own.

// The page's texts as JSON: "language"; "texts", every text by its English
// source; "transport", each transport command's word with its name.
QByteArray officeTexts(PageLanguage language);
