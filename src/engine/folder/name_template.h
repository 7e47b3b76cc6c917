#pragma once

// The pieces' names as the user chose them (--name): a template of text, the piece number and
// the input's stem, checked once and then expanded for each piece.

#include <QList>
#include <QString>

namespace brevane::detail {

class NameTemplate {
public:
    // "part_{n}": part_001, part_002, ..., part_999, part_1000.
    NameTemplate();

    // Parses text for an input whose file name without its suffix is stem. Fails, with the
    // reason in *reason, for a text without {n}, with an unknown field, an unclosed brace, a "/"
    // or NUL, a width out of 1 to 9, or a name too long for a file once the stem is in it.
    static bool parse(
        const QString& text, const QString& stem, NameTemplate* names, QString* reason);

    // The name of piece index (from 0), without its suffix.
    QString name(qsizetype index) const;

    // The piece (from 0) whose file is named fileName with this suffix; -1 for a name that no
    // piece has, such as part_0001.wav beside part_001.wav.
    qsizetype indexOf(const QString& fileName, const QString& suffix) const;

private:
    // Text, or the piece number padded with zeros to width (never cut).
    struct Part {
        QString text;
        int width = 0;
    };
    QList<Part> m_parts;
};

// The names of inputPath's pieces by nameTemplate; fails with "Invalid value for --name: %1: %2",
// %2 saying why.
bool readNameTemplate(const QString& nameTemplate, const QString& inputPath, NameTemplate* names,
    QString* errorMessage);

// The input's file name without its last suffix, as {stem} gives it: "show.ep1" for
// /data/show.ep1.mp3.
QString inputStem(const QString& inputPath);

} // namespace brevane::detail
