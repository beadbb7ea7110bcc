#pragma once
// The log's text and its bytes. The log is a list of lines; its text, as saved, is the lines in
// Windows-1251 joined by CR LF. Bytes from the device are bytes: a control byte inside a line
// (CR, LF, NUL …) is shown as its control picture (␍ ␊ ␀) and saved as the byte again, so a
// line holds exactly what arrived.

#include <QString>
#include <QStringList>
#include <string>
#include <string_view>

namespace nira::ui {

// One line's bytes as shown.
QString decodeLine(std::string_view bytes);
// A shown line's bytes: a control byte's picture or the control character itself gives the byte;
// characters Windows-1251 lacks become "?".
std::string encodeLine(const QString& line);

// The lines joined by CR LF.
std::string encodeText(const QStringList& lines);

}  // namespace nira::ui
