// SPDX-License-Identifier: GPL-3.0-or-later
// The results list as the register of the stored files this run made: each
// entry remembers where its stored file was written and which file that is,
// so its deletion (at a new search, at close) reaches it wherever the
// destination text points by then, and reaches nothing else.
#pragma once

#include <QString>

class QListWidgetItem;
class QWidget;
class TListBox;

// Appends an entry for a stored file just written at storedPath.
void ListFoundFile(TListBox& list, const QString& storedName, const QString& storedPath);

// Recover selected and recover all mark the entries they wrote out.
void MarkRecovered(QListWidgetItem& item);
int UnrecoveredCount(const TListBox& list);

// Why found files would go, for the question before they do.
enum class TDropMoment { Close, NewSearch };
// Asks before entries never recovered go with their stored copies; true
// when there are none, or for "&Ja". "&Nein" is the default: Enter alone
// must not throw them away.
bool ConfirmDropUnrecovered(QWidget* parent, const TListBox& list, TDropMoment moment);

// Deletes the stored file of every entry, where it was written and only
// while it is still the file the scan wrote, and empties the list.
void DropFoundFiles(TListBox& list);
