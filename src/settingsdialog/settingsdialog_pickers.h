#pragma once

#include <QColor>
#include <QFont>

// The colour and font choosers the settings pages share: each starts on the
// stored value and tells in *accepted whether the user confirmed a choice.
QColor PickColor(const QColor& stored, bool* accepted);
QFont PickFont(const QFont& stored, bool* accepted);
