# What makes a build from a fresh clone short on a small machine.

# A compiler cache where one is installed (make deps installs ccache): a
# second clone on the same machine, as CI's after a developer's, compiles
# next to nothing. Paths under the clone are hashed relative to it and the
# working folder not at all, so where the clone lies does not matter. The
# depend mode spares a first build the preprocessor run per file that a
# miss otherwise costs; the precompiled headers need the sloppiness
# ccache's manual asks for them.
option(PELKO_CCACHE "Compile through ccache when it is installed" ON)
find_program(CCACHE_PROGRAM ccache)
if(PELKO_CCACHE AND CCACHE_PROGRAM AND NOT DEFINED CMAKE_CXX_COMPILER_LAUNCHER)
    set(CMAKE_CXX_COMPILER_LAUNCHER ${CMAKE_COMMAND} -E env
        CCACHE_BASEDIR=${PROJECT_SOURCE_DIR} CCACHE_NOHASHDIR=1 CCACHE_ABSSTDERR=1 CCACHE_DEPEND=1
        CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
        ${CCACHE_PROGRAM})
    add_compile_options($<$<CXX_COMPILER_ID:Clang>:-Xclang$<SEMICOLON>-fno-pch-timestamp>)
endif()

# Sources compiled eight to a translation unit: Qt's headers, the larger
# part of each file's work even when precompiled, are read once a batch.
# A first build takes three quarters of the time (80 s for 106 s on 2
# cores); an edit recompiles its batch. The price: CMake's batch files name
# their sources by absolute path, so ccache serves a clone in another
# folder only in part. -DCMAKE_UNITY_BUILD=OFF compiles each file alone, as
# a check that every file includes what it uses.
if(NOT DEFINED CMAKE_UNITY_BUILD)
    set(CMAKE_UNITY_BUILD ON)
endif()

# Qt's test library names the test's source and build folders in every
# test's flags, for QFINDTESTDATA, which no test here uses; without them a
# test compiled in one clone is the same compilation in another.
get_target_property(pelkoTestDefinitions Qt6::Test INTERFACE_COMPILE_DEFINITIONS)
list(FILTER pelkoTestDefinitions EXCLUDE REGEX "^QT_TESTCASE_(BUILD|SOURCE)DIR=")
set_target_properties(Qt6::Test PROPERTIES INTERFACE_COMPILE_DEFINITIONS "${pelkoTestDefinitions}")

# Qt's headers are most of what each file compiles: parsed once per target
# (set CMAKE_DISABLE_PRECOMPILE_HEADERS to do without).
set(PELKO_QT_HEADERS
    <QByteArray> <QDateTime> <QDir> <QElapsedTimer> <QFile> <QFileInfo> <QHash> <QJsonArray>
    <QJsonDocument> <QJsonObject> <QList> <QObject> <QRegularExpression> <QString> <QStringList>
    <QTimer> <QApplication> <QComboBox> <QDialog> <QLabel> <QMessageBox> <QPushButton> <QWidget>
    <QSerialPort> <QSqlDatabase> <QSqlError> <QSqlQuery>
    <algorithm> <array> <memory> <vector>)
set(PELKO_TEST_HEADERS ${PELKO_QT_HEADERS}
    <QTest> <QSignalSpy> <QProcess> <QTemporaryDir> <QSocketNotifier> <QEventLoop>)
