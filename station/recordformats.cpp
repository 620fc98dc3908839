#include "recordformats.h"

#include "printable.h"
#include "recordschema.h"

#include <QFileInfo>
#include <QHash>
#include <QIODevice>
#include <QJsonDocument>
#include <QXmlStreamWriter>

namespace recordformats {

namespace {
QString textOf(const QJsonObject &row, const char *column)
{
    return row.value(QLatin1String(column)).toString();
}

bool passed(const QJsonObject &row)
{
    return textOf(row, "outcome") == QLatin1String("updated");
}

bool interrupted(const QJsonObject &row)
{
    return textOf(row, "outcome") == QLatin1String("interrupted");
}

struct Group
{
    QString image;
    QString station;
    int units = 0;
    int passed = 0;
    int failed = 0;
    int interrupted = 0;

    void count(const QJsonObject &row)
    {
        ++units;
        if (recordformats::passed(row))
            ++passed;
        else if (recordformats::interrupted(row))
            ++interrupted;
        else
            ++failed;
    }
    QStringList cells() const
    {
        const QString yield =
            passed + failed == 0
                ? QStringLiteral("-")
                : QString::number(100.0 * passed / (passed + failed), 'f', 1) + QLatin1String(" %");
        return {image,
                station,
                QString::number(units),
                QString::number(passed),
                QString::number(failed),
                QString::number(interrupted),
                yield};
    }
};

QString imageOf(const QJsonObject &row)
{
    const QString sha = textOf(row, "image_sha256");
    const QString name = QFileInfo(textOf(row, "image")).fileName();
    return printable((sha.isEmpty() ? QStringLiteral("-") : sha.left(12)) + QLatin1Char(' ') + name)
        .trimmed();
}

void writeTable(const QList<QStringList> &lines, QIODevice *out)
{
    QList<int> widths(lines.first().size(), 0);
    for (const QStringList &line : lines)
        for (int i = 0; i < line.size(); ++i)
            widths[i] = qMax(widths[i], int(line[i].size()));
    for (const QStringList &line : lines) {
        QStringList cells;
        for (int i = 0; i < line.size(); ++i)
            cells.append(i < 2 ? line[i].leftJustified(widths[i])
                               : line[i].rightJustified(widths[i]));
        out->write(cells.join(QLatin1String("  ")).trimmed().toUtf8() + '\n');
    }
}

QString csvField(const QJsonValue &value)
{
    if (value.isNull() || value.isUndefined())
        return QString();
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 15);
    QString text = value.toString();
    static const QString formulaStarts = QStringLiteral("=+-@\t\r");
    if (!text.isEmpty() && formulaStarts.contains(text.front()))
        text.prepend(QLatin1Char('\''));
    text.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// XML 1.0 has no place for most control characters, whatever the escaping.
QString xmlText(const QString &text)
{
    QString safe = text;
    for (QChar &c : safe) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r') || u == 0xfffe || u == 0xffff ||
            c.isSurrogate())
            c = QChar(QChar::ReplacementCharacter);
    }
    return safe;
}

QString seconds(double value)
{
    return QString::number(value, 'f', 3);
}

void writeUnit(QXmlStreamWriter &xml, const QJsonObject &row)
{
    xml.writeStartElement(QStringLiteral("testcase"));
    xml.writeAttribute(QStringLiteral("name"),
                       QStringLiteral("unit %1").arg(row.value(QLatin1String("unit")).toInteger()));
    const QJsonValue bay = row.value(QLatin1String("bay"));
    xml.writeAttribute(QStringLiteral("classname"),
                       xmlText(textOf(row, "station") + QLatin1Char('.') +
                               (bay.isNull() ? textOf(row, "port")
                                             : QStringLiteral("bay%1").arg(bay.toInteger()))));
    xml.writeAttribute(QStringLiteral("time"),
                       seconds(row.value(QLatin1String("seconds")).toDouble()));
    if (interrupted(row)) {
        xml.writeEmptyElement(QStringLiteral("skipped"));
        xml.writeAttribute(QStringLiteral("message"), QStringLiteral("interrupted"));
    } else if (!passed(row)) {
        const QString outcome = textOf(row, "outcome");
        const QString reason = textOf(row, "reason");
        xml.writeStartElement(QStringLiteral("failure"));
        xml.writeAttribute(QStringLiteral("type"), xmlText(outcome));
        xml.writeAttribute(
            QStringLiteral("message"),
            xmlText(reason.isEmpty() ? outcome : outcome + QLatin1String(": ") + reason));
        QString details;
        for (const recordschema::Column &column : recordschema::columns) {
            const QJsonValue value = row.value(QLatin1String(column.name));
            if (!value.isNull())
                details += QLatin1String(column.name) + QLatin1String(": ") +
                           (value.isDouble() ? QString::number(value.toDouble(), 'g', 15)
                                             : value.toString()) +
                           QLatin1Char('\n');
        }
        xml.writeCharacters(xmlText(details));
        xml.writeEndElement();
    }
    xml.writeEndElement();
}

void writeRun(QXmlStreamWriter &xml, const QList<QJsonObject> &units)
{
    const QJsonObject &first = units.first();
    int failures = 0;
    int skipped = 0;
    double time = 0;
    for (const QJsonObject &row : units) {
        failures += !passed(row) && !interrupted(row);
        skipped += interrupted(row);
        time += row.value(QLatin1String("seconds")).toDouble();
    }
    xml.writeStartElement(QStringLiteral("testsuite"));
    xml.writeAttribute(QStringLiteral("name"),
                       xmlText(QStringLiteral("run ") + textOf(first, "run")));
    xml.writeAttribute(QStringLiteral("tests"), QString::number(units.size()));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    xml.writeAttribute(QStringLiteral("errors"), QStringLiteral("0"));
    xml.writeAttribute(QStringLiteral("skipped"), QString::number(skipped));
    xml.writeAttribute(QStringLiteral("time"), seconds(time));
    // JUnit's timestamp has neither a zone nor a fraction; it is UTC here.
    xml.writeAttribute(QStringLiteral("timestamp"), xmlText(textOf(first, "started").left(19)));
    xml.writeAttribute(QStringLiteral("hostname"), xmlText(textOf(first, "host")));
    xml.writeStartElement(QStringLiteral("properties"));
    for (const char *name :
         {"station", "host", "operator", "tool_version", "image", "image_sha256"}) {
        xml.writeEmptyElement(QStringLiteral("property"));
        xml.writeAttribute(QStringLiteral("name"), QLatin1String(name));
        xml.writeAttribute(QStringLiteral("value"), xmlText(textOf(first, name)));
    }
    xml.writeEndElement();
    for (const QJsonObject &row : units)
        writeUnit(xml, row);
    xml.writeEndElement();
}
} // namespace

void table(const QList<QJsonObject> &rows, QIODevice *out)
{
    if (rows.isEmpty()) {
        out->write("no records\n");
        return;
    }
    QList<Group> groups;
    QHash<QString, qsizetype> index;
    Group all{QStringLiteral("all"), QString()};
    for (const QJsonObject &row : rows) {
        const QString station = printable(textOf(row, "station"));
        const QString key = textOf(row, "image_sha256") + QLatin1Char('\n') + station;
        auto found = index.constFind(key);
        if (found == index.constEnd()) {
            found = index.insert(key, groups.size());
            groups.append(Group{imageOf(row), station});
        }
        groups[*found].count(row);
        all.count(row);
    }
    QList<QStringList> lines{{QStringLiteral("image"), QStringLiteral("station"),
                              QStringLiteral("units"), QStringLiteral("passed"),
                              QStringLiteral("failed"), QStringLiteral("interrupted"),
                              QStringLiteral("yield")}};
    for (const Group &group : groups)
        lines.append(group.cells());
    if (groups.size() > 1)
        lines.append(all.cells());
    writeTable(lines, out);
}

void jsonLines(const QList<QJsonObject> &rows, QIODevice *out)
{
    for (const QJsonObject &row : rows)
        out->write(QJsonDocument(row).toJson(QJsonDocument::Compact) + '\n');
}

void csv(const QList<QJsonObject> &rows, QIODevice *out)
{
    QStringList names;
    for (const recordschema::Column &column : recordschema::columns)
        names.append(QLatin1String(column.name));
    out->write(names.join(QLatin1Char(',')).toUtf8() + '\n');
    for (const QJsonObject &row : rows) {
        QStringList fields;
        for (const QString &name : std::as_const(names))
            fields.append(csvField(row.value(name)));
        out->write(fields.join(QLatin1Char(',')).toUtf8() + '\n');
    }
}

void junit(const QList<QJsonObject> &rows, QIODevice *out)
{
    QList<QList<QJsonObject>> runs;
    QHash<QString, qsizetype> index;
    for (const QJsonObject &row : rows) {
        const QString run = textOf(row, "run");
        auto found = index.constFind(run);
        if (found == index.constEnd()) {
            found = index.insert(run, runs.size());
            runs.append(QList<QJsonObject>());
        }
        runs[*found].append(row);
    }
    QXmlStreamWriter xml(out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("testsuites"));
    xml.writeAttribute(QStringLiteral("name"), QStringLiteral("pelkoupdate records"));
    for (const QList<QJsonObject> &units : std::as_const(runs))
        writeRun(xml, units);
    xml.writeEndElement();
    xml.writeEndDocument();
}

} // namespace recordformats
