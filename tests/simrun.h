#ifndef SIMRUN_H
#define SIMRUN_H

// A device and an updater, each a process of its own, as on a production
// line: mwire-sim with the options given, and the updater on its port.

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace simrun {
struct Result
{
    int exitCode = -1;
    QStringList out;
    QString err;
};

// The simulated device, as a process of its own, on a terminal of its own
// whose path it says first.
class Sim
{
public:
    explicit Sim(const QStringList &options) : process(std::make_unique<QProcess>())
    {
        process->start(qEnvironmentVariable("MWIRE_SIM_BIN"), options);
        if (process->waitForReadyRead(5000))
            port = QString::fromLocal8Bit(process->readLine()).trimmed();
    }
    Sim(Sim &&) = default;
    Sim &operator=(Sim &&) = default;
    ~Sim()
    {
        if (process && process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished();
        }
    }
    bool finished() const { return process->state() == QProcess::NotRunning; }
    QString summary() { return QString::fromLocal8Bit(process->readAllStandardOutput()).trimmed(); }

    std::unique_ptr<QProcess> process;
    QString port;
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
using simrun::Sim;

#endif
