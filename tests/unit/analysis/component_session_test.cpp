#include "analysis/component_session.hpp"

#include <gtest/gtest.h>

#include <string>

// The session hands each frame over as it is: a frame of the session's geometry is read in
// place (Is equals it without smoothing), and a frame of any other size is refused with the
// component's own message instead of being read past its end or cut short.
TEST(ComponentSession, FramesOfTheSessionGeometryOnly) {
    ComponentSession session;
    session.apply(ComponentSettings{});
    session.create(8, 6);
    GreyImage frame(8, 6);
    for (size_t i = 0; i < frame.data.size(); ++i) frame.data[i] = static_cast<float>(i);
    session.process(frame);
    EXPECT_EQ(session.read(ResultImage::Is).data, frame.data);

    struct Case {
        int32_t columns, lines;
    };
    for (const Case c : {Case{8, 7}, Case{8, 5}, Case{12, 6}, Case{4, 6}, Case{6, 8}}) {
        try {
            session.process(GreyImage(c.columns, c.lines, 1.0f));
            ADD_FAILURE() << c.columns << "x" << c.lines << " accepted";
        } catch (const ComponentError& e) {
            EXPECT_EQ(std::string(e.what()), "process_data: Incompatible Image Size")
                << c.columns << "x" << c.lines;
            EXPECT_EQ(e.hresult(), E_INVALIDARG);
        }
    }
    // The refused frames left the engine's input as it was.
    EXPECT_EQ(session.read(ResultImage::Is).data, frame.data);
}
