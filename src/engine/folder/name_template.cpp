#include "folder/name_template.h"

#include "brevane.h"
#include "error_text.h"

#include <QFile>
#include <QFileInfo>

#include <climits>

namespace brevane::detail {

namespace {

    constexpr int defaultWidth = 3;
    // The longest name a piece's scratch files add to its own: "." before it and
    // ".samples.brevane-scratch" after it.
    constexpr int scratchNameBytes = 1 + 24;

    // The longest run of digits a piece number can take.
    constexpr int widestNumber = 18;

    // {n}, {n:W} (W from 1 to 9) or {stem}; false with the reason for any other field.
    bool readField(
        const QString& field, const QString& stem, QString* text, int* width, QString* reason)
    {
        if (field == QLatin1String("n")) {
            *width = defaultWidth;
        } else if (field.startsWith(QLatin1String("n:"))) {
            const QString digits = field.mid(2);
            if (digits.size() != 1 || digits[0] < u'1' || digits[0] > u'9') {
                *reason = trText("the width in {%1} must be a digit from 1 to 9").arg(field);
                return false;
            }
            *width = digits[0].unicode() - u'0';
        } else if (field == QLatin1String("stem")) {
            *text = stem;
        } else {
            *reason
                = trText("unknown field {%1} (the fields are {n}, {n:W} and {stem})").arg(field);
            return false;
        }
        return true;
    }

} // namespace

NameTemplate::NameTemplate()
    : m_parts { { QStringLiteral("part_"), 0 }, { QString(), defaultWidth } }
{
}

bool NameTemplate::parse(
    const QString& text, const QString& stem, NameTemplate* names, QString* reason)
{
    QList<Part> parts;
    QString literal;
    bool numbered = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const bool doubled = i + 1 < text.size() && text[i + 1] == c;
        if (c == u'/' || c == u'\0') {
            *reason = c == u'/' ? trText("a name cannot hold /")
                                : trText("a name cannot hold a NUL character");
            return false;
        }
        if ((c == u'{' || c == u'}') && doubled) {
            literal += c;
            ++i;
        } else if (c == u'}') {
            *reason = trText("a } that closes no field (write }} for a brace)");
            return false;
        } else if (c == u'{') {
            const qsizetype close = text.indexOf(u'}', i + 1);
            if (close < 0) {
                *reason = trText("a { that is not closed (write {{ for a brace)");
                return false;
            }
            int width = 0;
            QString fieldText;
            if (!readField(text.mid(i + 1, close - i - 1), stem, &fieldText, &width, reason))
                return false;
            if (width > 0) {
                parts.append({ literal, 0 });
                parts.append({ QString(), width });
                literal.clear();
                numbered = true;
            } else {
                literal += fieldText;
            }
            i = close;
        } else {
            literal += c;
        }
    }
    if (!numbered) {
        *reason = trText("the name needs {n}");
        return false;
    }
    parts.append({ literal, 0 });
    NameTemplate parsed;
    parsed.m_parts = parts;
    // The first piece's scratch files have the longest names a run is sure to make; a name of
    // its own is never empty, "." or "..", as {n} gives it digits.
    if (QFile::encodeName(parsed.name(0)).size() + scratchNameBytes > NAME_MAX) {
        *reason = trText("the names are longer than a file name can be");
        return false;
    }
    *names = parsed;
    return true;
}

QString NameTemplate::name(qsizetype index) const
{
    QString name;
    for (const Part& part : m_parts)
        name += part.width > 0 ? QString::number(index + 1).rightJustified(part.width, u'0')
                               : part.text;
    return name;
}

qsizetype NameTemplate::indexOf(const QString& fileName, const QString& suffix) const
{
    const QString ending = QLatin1Char('.') + suffix;
    if (!fileName.endsWith(ending))
        return -1;
    const QString base = fileName.chopped(ending.size());
    // Text and the stem come before the first number, so it begins at a known place; each
    // length of digits there is tried, and the name it gives must be the file's in full.
    qsizetype start = 0;
    for (const Part& part : m_parts) {
        if (part.width > 0)
            break;
        start += part.text.size();
    }
    for (int digits = 1; digits <= widestNumber && start + digits <= base.size(); ++digits) {
        const QChar digit = base[start + digits - 1];
        if (digit < u'0' || digit > u'9')
            break;
        const qsizetype number = base.mid(start, digits).toLongLong();
        if (number >= 1 && name(number - 1) == base)
            return number - 1;
    }
    return -1;
}

QString inputStem(const QString& inputPath) { return QFileInfo(inputPath).completeBaseName(); }

bool readNameTemplate(const QString& nameTemplate, const QString& inputPath, NameTemplate* names,
    QString* errorMessage)
{
    QString reason;
    if (NameTemplate::parse(nameTemplate, inputStem(inputPath), names, &reason))
        return true;
    return fail(errorMessage, trText("Invalid value for --name: %1: %2").arg(nameTemplate, reason));
}

} // namespace brevane::detail

namespace brevane {

bool checkNameTemplate(const QString& nameTemplate, const QString& inputPath, QString* errorMessage)
{
    detail::NameTemplate names;
    return detail::readNameTemplate(nameTemplate, inputPath, &names, errorMessage);
}

} // namespace brevane
