#pragma once

#include <string>

#include "DBString.h"

// Message numbers of the command line's own texts; the others it shares with the windows.
enum : int {
    // The help: every text from the first to the last, a line break between them.
    kTextHelpFirst = 1240,
    kTextHelpLast = 1251,
    kTextUnknownCommand = 1201,
    kTextUnknownOption = 1202,
    kTextNeedsValue = 1203,
    kTextBadValue = 1204,
    kTextNoCommand = 1205,
    kTextArgumentCount = 1206,
    kTextOptionNotHere = 1207,
    kTextListLine = 1208,
    kTextBadUnitName = 1209,
    kTextDuplicateUnit = 1210,
    kTextUnclosedQuote = 1211,
    kTextEmptyList = 1212,
    kTextTryHelp = 1213,
    kTextChanges = 1214,
    kTextNothingToWrite = 1215,
    kTextAskWrite = 1216,
    kTextNotWritten = 1217,
    kTextRestartSent = 1218,
    kTextWordOfNoParameter = 1219,
    kTextProgressLoading = 1220,
    kTextProgressVerifying = 1221,
    kTextProgressUnits = 1222,
    kTextAskWriteUnits = 1223,
    kTextUnitRead = 1224,
    kTextUnitWritten = 1225,
    kTextUnitNothingToWrite = 1226,
    kTextUnitDryRun = 1227,
    kTextUnitRestarted = 1228,
    kTextLogUnreadable = 1229,
    kTextLogNothingDecoded = 1230,
    kTextDefault = 1231,
    kTextNoDifference = 1232,
    kTextLoadStalled = 1233,
    kTextInterrupted = 1234,
    kTextUnitsFailed = 1235,
    kTextLinkNotStarted = 1236,
    // Shared with the windows.
    kTextMismatch = 1133,
    kTextMismatchWord = 1134,
    kTextUnverified = 1135,
    kTextFileLength = 1136,
    kTextFileNotRegular = 1137,
    kTextFileUnreadable = 1138,
    kTextFileNotSaved = 1139,
};

// The text of `number` in the current language, formatted, as UTF-8.
std::string Text(int number);
std::string TextF(int number, ...);
// UTF-8 for the places where a message needs a wide argument (%ls).
DBString Wide(const std::string& utf8);
