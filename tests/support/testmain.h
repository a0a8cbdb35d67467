#pragma once

// Engine-only builds have no Qt Widgets; their tests use OSTRA_TEST_MAIN_CORE.
// Tests of folders below the widgets get a QGuiApplication.
#if __has_include(<QApplication>)
#include <QApplication>
#define OSTRA_TEST_APPLICATION QApplication
#elif __has_include(<QGuiApplication>)
#include <QGuiApplication>
#define OSTRA_TEST_APPLICATION QGuiApplication
#endif
#include <QCoreApplication>
#include <QTest>

#include "ciapi/ciapi.h"
#include "support/testenvironment.h"

// Test entry points that first give the process a home of its own, so that
// settings, databases, caches and sockets never touch the real user's files.
#define OSTRA_TEST_MAIN_IMPL(AppClass, TestObject)                                                           \
    int main(int argc, char** argv)                                                                          \
    {                                                                                                        \
        ostra::test::TestEnvironment environment;                                                            \
        AppClass app(argc, argv);                                                                            \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                             \
        TestObject tc;                                                                                       \
        QTEST_SET_MAIN_SOURCE_PATH                                                                           \
        const int failed = QTest::qExec(&tc, argc, argv);                                                    \
        /* As the application does: the engine's threads end before static data is destroyed. */             \
        CIAPI::StaticShutdown();                                                                             \
        return failed;                                                                                       \
    }

#ifdef OSTRA_TEST_APPLICATION
#define OSTRA_TEST_MAIN(TestObject) OSTRA_TEST_MAIN_IMPL(OSTRA_TEST_APPLICATION, TestObject)
#endif
#define OSTRA_TEST_MAIN_CORE(TestObject) OSTRA_TEST_MAIN_IMPL(QCoreApplication, TestObject)
