#include "platform/framework/TextLayout.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

// The layout carried on from an edit must be exactly what laying out the same text afresh
// gives, for any edit: line ends made and broken, characters completed or cut in pieces, wide
// characters, tabs and blanks moving breaks back and forth. The widget's tests check what the
// layout is; this one that no edit leaves a stale line behind.
TEST(TextLayout, IncrementalLayoutEqualsAFreshOne) {
    const std::vector<QByteArray> pieces{
        "a",    "bc",           " ",        "\t",   "\r",   "\n",    "\r\n", "\xe3", "\x81",
        "\x82", "\xe3\x81\x82", "\xc3\xa9", "\x01", "\xff", "wxyz ", "...."};
    for (const int columns : {1, 3, 7, 12}) {
        SCOPED_TRACE(testing::Message() << columns << " columns");
        std::mt19937 random(20240531);
        const auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n)(random); };
        TextLayout layout;
        layout.setColumns(columns);
        // Every other edit appends, the case that keeps all of the old layout.
        for (int step = 0; step < 3000; ++step) {
            const int size = static_cast<int>(layout.text().size());
            const int from = step % 2 == 0 ? size : pick(size);
            const int to = std::min(size, from + (pick(3) == 0 ? pick(5) : 0));
            const QByteArray bytes = pick(8) == 0 ? QByteArray() : pieces[pick(15)];
            std::vector<std::pair<int, int>> before;
            for (int i = 0; i < layout.lineCount(); ++i) {
                before.emplace_back(layout.lineStart(i), layout.lineEnd(i));
            }
            const int changed = layout.replace(from, to, bytes);

            TextLayout fresh;
            fresh.setColumns(columns);
            fresh.setText(layout.text());
            ASSERT_EQ(layout.lineCount(), fresh.lineCount()) << "step " << step;
            for (int i = 0; i < fresh.lineCount(); ++i) {
                ASSERT_EQ(layout.lineStart(i), fresh.lineStart(i)) << "step " << step;
                ASSERT_EQ(layout.lineEnd(i), fresh.lineEnd(i)) << "step " << step;
                ASSERT_EQ(layout.lineColumns(i), fresh.lineColumns(i)) << "step " << step;
                ASSERT_EQ(layout.shownOffset(layout.lineStart(i)),
                          fresh.shownOffset(fresh.lineStart(i)))
                    << "step " << step;
            }
            if (step % 10 == 0) {
                ASSERT_EQ(fresh.shownOffset(fresh.size()), fresh.shownText(0, fresh.size()).size());
            }
            // The lines before the one reported changed are those before the edit, as they were,
            // so that a painter may keep what it drew of them.
            ASSERT_LT(changed, layout.lineCount()) << "step " << step;
            for (int i = 0; i < changed; ++i) {
                ASSERT_EQ(std::make_pair(layout.lineStart(i), layout.lineEnd(i)), before[i]);
                ASSERT_LE(layout.lineEnd(i), from) << "step " << step;
            }
        }
    }
}
