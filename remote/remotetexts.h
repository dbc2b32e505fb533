#pragma once

#include <QByteArray>

// What the remote's page shows in words, in the languages the console
// speaks, from the console's own translation: its labels and command names
// (one table of them in the program) and the few texts of the page itself.
// The page holds no text of its own, so the two never drift apart.

enum class PageLanguage { English, French };

// The language a browser asks for first, among those there are, from its
// Accept-Language header ("fr-CH, fr;q=0.9, en;q=0.8"); English when it
// asks for none of them.
PageLanguage pageLanguage(const QByteArray &acceptLanguage);

// `source` in `context` of the console's translation into `language`; the
// source itself where it has none (and in English).
QString translatedText(PageLanguage language, const char *context, const char *source);

// The page's texts as JSON: "language"; "texts", every text by its English
// source; "sources" and "channels", each word of the grammar with its name;
// "limits", the ranges the encoder takes.
QByteArray pageTexts(PageLanguage language);
