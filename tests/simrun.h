#ifndef SIMRUN_H
#define SIMRUN_H

// A device and an updater, each a process of its own, as on a production
// line: mwire-sim with the options given, and the updater on its port.

#include <QProcess>
#include <QString>
#include <QStringList>

namespace simrun {
struct Result
{
    int exitCode = -1;
    QStringList out;
    QString err;
};

// A device and an updater, each a process of its own, as on a production line.
class Run
{
public:
    Run(const QStringList &simOptions, const QString &out = {})
    {
        sim.start(qEnvironmentVariable("MWIRE_SIM_BIN"),
                  QStringList{"--once"} + (out.isEmpty() ? QStringList() : QStringList{"--out", out})
                      + simOptions);
        if (sim.waitForReadyRead(5000))
            port = QString::fromLocal8Bit(sim.readLine()).trimmed();
    }
    ~Run()
    {
        for (QProcess *p : {&sim, &updater}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished();
            }
        }
    }
    void startUpdater(const QStringList &arguments,
                      const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        updater.setProcessEnvironment(environment);
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      QStringList{"-platform", "offscreen"} + arguments);
    }
    Result result()
    {
        if (!updater.waitForFinished(60000))
            return {};
        return {updater.exitCode(),
                QString::fromLocal8Bit(updater.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts),
                QString::fromLocal8Bit(updater.readAllStandardError())};
    }

    QProcess sim;
    QProcess updater;
    QString port;
};
} // namespace simrun

using simrun::Result;
using simrun::Run;

#endif
