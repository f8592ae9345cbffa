// Test entry for widget tests: a QApplication with the compatibility GL context that the
// fixed-function viewport needs (runs under an X server, e.g. xvfb-run).
#include <gtest/gtest.h>
#include <QApplication>

#include "view/gl_format.h"

int main(int argc, char** argv) {
    kavrin::use_viewport_gl_format();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
