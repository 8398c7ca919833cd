#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QSize>
#include <QString>
#include <optional>

namespace brivane {

// GNOME's XML backgrounds (Debian's default picture is one): a start time and a cycle of
// static slides and transitions, each slide a file or a set of files by size. Resolves the
// file the desktop shows at `now` on a screen of `size` pixels: the current slide (the first
// half of a transition shows where it comes from, the second where it goes), the variant
// nearest the screen's size. Relative names are relative to the XML file. Absent when the
// file is not such a background or names no picture.
std::optional<QString> gnomeBackgroundFile(const QString& xmlPath, QSize size,
                                           const QDateTime& now);
// The same for the text of such a file, relative names resolved against the folder `base`.
std::optional<QString> gnomeBackgroundFile(const QByteArray& text, const QString& base, QSize size,
                                           const QDateTime& now);

// Whether a file is GNOME's XML background format rather than an image.
bool isGnomeBackgroundXml(const QString& path);

} // namespace brivane
