#include "tests/doubles/log_surface_record.h"

#include <cstring>

namespace {

// Enough for 16 full log rows and a full info area at any width a test uses.
const int GLYPH_CAPACITY = 8192;
const int FONT_SLOTS = 8;
const int ROW_BUFFERS = 8;
const int DEFAULT_CLIENT_WIDTH = 494;
const int DEFAULT_CLIENT_HEIGHT = 514;
const int BOLD_WEIGHT_MIN = 401;

struct Glyph {
    int x;
    int y;
    int width;
    int bold;
    LogColour text;
    LogColour background;
    char ch;
};

struct RecordSurface {
    int alive;
    int width;
    int height;
    LogFont font;
    LogColour text;
    LogColour background;
    int glyphCount;
    Glyph glyphs[GLYPH_CAPACITY];
};

struct RecordFont {
    int alive;
    int weight;
};

struct Recorder {
    RecordSurface surfaces[RECORD_SURFACE_SLOTS];
    RecordFont fonts[FONT_SLOTS];
    int clientWidth;
    int clientHeight;
    LogRect paintRect;
    int painting;
    int paintCount;
    int misuse;
    int invalidationCount;
    RecordedInvalidation invalidations[RECORD_LIST_SIZE];
    int fillCount;
    RecordedFill fills[RECORD_LIST_SIZE];
    int copyCount;
    RecordedCopy copies[RECORD_LIST_SIZE];
    int iconCount;
    RecordedIcon icons[RECORD_LIST_SIZE];
    int rowBufferNext;
    char rowBuffers[ROW_BUFFERS][RECORD_ROW_SIZE];
};

Recorder g_logSurfaceRecord;
int s_recorderInitialised;

void EnsureInitialised() {
    if (!s_recorderInitialised) {
        RecordReset();
    }
}

RecordSurface* SurfaceOf(LogSurface surface) {
    EnsureInitialised();
    if (surface < 1 || surface > RECORD_SURFACE_SLOTS ||
        !g_logSurfaceRecord.surfaces[surface - 1].alive) {
        g_logSurfaceRecord.misuse++;
        return nullptr;
    }
    return &g_logSurfaceRecord.surfaces[surface - 1];
}

int SlotOf(LogSurface surface) {
    return (int)surface - 1;
}

int FontIsBold(LogFont font) {
    if (font < 1 || font > FONT_SLOTS || !g_logSurfaceRecord.fonts[font - 1].alive) {
        return 0;
    }
    return g_logSurfaceRecord.fonts[font - 1].weight >= BOLD_WEIGHT_MIN;
}

int Overlaps(int aLeft, int aTop, int aRight, int aBottom, const Glyph& g) {
    return g.x < aRight && g.x + g.width > aLeft && g.y < aBottom &&
           g.y + RECORD_CHAR_HEIGHT > aTop;
}

// Removes every glyph that touches the rectangle (right, bottom exclusive).
void EraseGlyphs(RecordSurface* s, int left, int top, int right, int bottom) {
    int kept = 0;
    for (int i = 0; i < s->glyphCount; i++) {
        if (!Overlaps(left, top, right, bottom, s->glyphs[i])) {
            s->glyphs[kept++] = s->glyphs[i];
        }
    }
    s->glyphCount = kept;
}

void ClipToSurface(const RecordSurface* s, LogRect* r) {
    if (r->left < 0) {
        r->left = 0;
    }
    if (r->top < 0) {
        r->top = 0;
    }
    if (r->right > s->width) {
        r->right = s->width;
    }
    if (r->bottom > s->height) {
        r->bottom = s->height;
    }
}

int IsEmpty(const LogRect& r) {
    return r.left >= r.right || r.top >= r.bottom;
}

template <typename T> void Append(T* list, int* count, const T& entry) {
    if (*count < RECORD_LIST_SIZE) {
        list[*count] = entry;
    }
    (*count)++;
}

template <typename T> T EntryAt(const T* list, int count, int index) {
    if (index < 0 || index >= count || index >= RECORD_LIST_SIZE) {
        return T();
    }
    return list[index];
}

// Glyphs whose cells start at y, sorted by x (the surfaces hold few enough for a plain
// insertion sort).
int CollectRow(int surface, int y, Glyph* out, int max) {
    EnsureInitialised();
    if (surface < 0 || surface >= RECORD_SURFACE_SLOTS ||
        !g_logSurfaceRecord.surfaces[surface].alive) {
        return 0;
    }
    const RecordSurface& s = g_logSurfaceRecord.surfaces[surface];
    int n = 0;
    for (int i = 0; i < s.glyphCount && n < max; i++) {
        if (s.glyphs[i].y != y) {
            continue;
        }
        int j = n++;
        while (j > 0 && out[j - 1].x > s.glyphs[i].x) {
            out[j] = out[j - 1];
            j--;
        }
        out[j] = s.glyphs[i];
    }
    return n;
}

Glyph s_rowGlyphs[GLYPH_CAPACITY];

const char* RowText(int surface, int y) {
    char* out = g_logSurfaceRecord.rowBuffers[g_logSurfaceRecord.rowBufferNext];
    g_logSurfaceRecord.rowBufferNext = (g_logSurfaceRecord.rowBufferNext + 1) % ROW_BUFFERS;
    out[0] = '\0';
    int n = CollectRow(surface, y, s_rowGlyphs, GLYPH_CAPACITY);
    size_t len = 0;
    for (int i = 0; i < n && len + 2 < RECORD_ROW_SIZE; i++) {
        if (i > 0 && s_rowGlyphs[i].x > s_rowGlyphs[i - 1].x + s_rowGlyphs[i - 1].width) {
            out[len++] = ' ';
        }
        out[len++] = s_rowGlyphs[i].ch;
    }
    out[len] = '\0';
    return out;
}

} // namespace

void RecordReset(void) {
    memset(&g_logSurfaceRecord, 0, sizeof g_logSurfaceRecord);
    g_logSurfaceRecord.clientWidth = DEFAULT_CLIENT_WIDTH;
    g_logSurfaceRecord.clientHeight = DEFAULT_CLIENT_HEIGHT;
    g_logSurfaceRecord.paintRect = {0, 0, DEFAULT_CLIENT_WIDTH, DEFAULT_CLIENT_HEIGHT};
    s_recorderInitialised = 1;
}

void RecordSetClientSize(int width, int height) {
    EnsureInitialised();
    g_logSurfaceRecord.clientWidth = width;
    g_logSurfaceRecord.clientHeight = height;
}

void RecordSetPaintRect(int left, int top, int right, int bottom) {
    EnsureInitialised();
    g_logSurfaceRecord.paintRect = {left, top, right, bottom};
}

const char* RecordedLogRow(int row) {
    return RowText(RECORD_SURFACE_LOG, LOG_LINE_HEIGHT * row);
}

const char* RecordedDetailsRow(int row) {
    return RowText(RECORD_SURFACE_INFO, 20 + LOG_LINE_HEIGHT * row);
}

const char* RecordedStatusRow(int row) {
    return RowText(RECORD_SURFACE_INFO, 105 + LOG_LINE_HEIGHT * row);
}

int RecordedRuns(int surface, int y, RecordedRun* runs, int maxRuns) {
    int n = CollectRow(surface, y, s_rowGlyphs, GLYPH_CAPACITY);
    int count = 0;
    size_t len = 0;
    for (int i = 0; i < n; i++) {
        const Glyph& g = s_rowGlyphs[i];
        int joins = count > 0 && len + 1 < RECORD_ROW_SIZE && g.bold == runs[count - 1].bold &&
                    g.text == runs[count - 1].text && g.background == runs[count - 1].background &&
                    g.x == runs[count - 1].x + runs[count - 1].width;
        if (!joins) {
            if (count == maxRuns) {
                break;
            }
            RecordedRun& r = runs[count++];
            r.x = g.x;
            r.y = g.y;
            r.width = 0;
            r.bold = g.bold;
            r.text = g.text;
            r.background = g.background;
            len = 0;
        }
        RecordedRun& r = runs[count - 1];
        r.chars[len++] = g.ch;
        r.chars[len] = '\0';
        r.width += g.width;
    }
    return count;
}

int RecordedSurfaceCount(void) {
    EnsureInitialised();
    int n = 0;
    for (int i = 0; i < RECORD_SURFACE_SLOTS; i++) {
        n += g_logSurfaceRecord.surfaces[i].alive;
    }
    return n;
}

int RecordedFontCount(void) {
    EnsureInitialised();
    int n = 0;
    for (int i = 0; i < FONT_SLOTS; i++) {
        n += g_logSurfaceRecord.fonts[i].alive;
    }
    return n;
}

int RecordedSurfaceSize(int surface, int* width, int* height) {
    EnsureInitialised();
    if (surface < 0 || surface >= RECORD_SURFACE_SLOTS ||
        !g_logSurfaceRecord.surfaces[surface].alive) {
        return 0;
    }
    *width = g_logSurfaceRecord.surfaces[surface].width;
    *height = g_logSurfaceRecord.surfaces[surface].height;
    return 1;
}

int RecordedMisuseCount(void) {
    EnsureInitialised();
    return g_logSurfaceRecord.misuse;
}

int RecordedInvalidationCount(void) {
    EnsureInitialised();
    return g_logSurfaceRecord.invalidationCount;
}

RecordedInvalidation RecordedInvalidationAt(int index) {
    return EntryAt(g_logSurfaceRecord.invalidations, g_logSurfaceRecord.invalidationCount, index);
}

void RecordClearInvalidations(void) {
    EnsureInitialised();
    g_logSurfaceRecord.invalidationCount = 0;
}

int RecordedFillCount(void) {
    EnsureInitialised();
    return g_logSurfaceRecord.fillCount;
}

RecordedFill RecordedFillAt(int index) {
    return EntryAt(g_logSurfaceRecord.fills, g_logSurfaceRecord.fillCount, index);
}

void RecordClearFills(void) {
    EnsureInitialised();
    g_logSurfaceRecord.fillCount = 0;
}

int RecordedCopyCount(void) {
    EnsureInitialised();
    return g_logSurfaceRecord.copyCount;
}

RecordedCopy RecordedCopyAt(int index) {
    return EntryAt(g_logSurfaceRecord.copies, g_logSurfaceRecord.copyCount, index);
}

int RecordedPaintCount(void) {
    EnsureInitialised();
    return g_logSurfaceRecord.paintCount;
}

int RecordedIconCount(void) {
    EnsureInitialised();
    return g_logSurfaceRecord.iconCount;
}

RecordedIcon RecordedIconAt(int index) {
    return EntryAt(g_logSurfaceRecord.icons, g_logSurfaceRecord.iconCount, index);
}

// The surface interface, as the view sees it.

LogSurface LogSurfaceCreate(PlatformWindow window, int width, int height) {
    (void)window;
    EnsureInitialised();
    for (int i = 0; i < RECORD_SURFACE_SLOTS; i++) {
        RecordSurface& s = g_logSurfaceRecord.surfaces[i];
        if (!s.alive) {
            s.alive = 1;
            s.width = width;
            s.height = height;
            s.font = 0;
            s.text = LOG_RGB(0, 0, 0);
            s.background = LOG_RGB(255, 255, 255);
            s.glyphCount = 0;
            return (LogSurface)(i + 1);
        }
    }
    g_logSurfaceRecord.misuse++;
    return LOG_SURFACE_NONE;
}

void LogSurfaceDestroy(LogSurface surface) {
    RecordSurface* s = SurfaceOf(surface);
    if (s != nullptr) {
        s->alive = 0;
        s->glyphCount = 0;
    }
}

LogFont LogFontCreate(int weight) {
    EnsureInitialised();
    for (int i = 0; i < FONT_SLOTS; i++) {
        if (!g_logSurfaceRecord.fonts[i].alive) {
            g_logSurfaceRecord.fonts[i].alive = 1;
            g_logSurfaceRecord.fonts[i].weight = weight;
            return (LogFont)(i + 1);
        }
    }
    g_logSurfaceRecord.misuse++;
    return 0;
}

void LogFontDestroy(LogFont font) {
    EnsureInitialised();
    if (font < 1 || font > FONT_SLOTS || !g_logSurfaceRecord.fonts[font - 1].alive) {
        g_logSurfaceRecord.misuse++;
        return;
    }
    g_logSurfaceRecord.fonts[font - 1].alive = 0;
}

void LogSurfaceFill(LogSurface surface, int left, int top, int width, int height, LogBrush brush) {
    RecordSurface* s = SurfaceOf(surface);
    if (s == nullptr) {
        return;
    }
    LogRect r = {left, top, left + width, top + height};
    ClipToSurface(s, &r);
    if (IsEmpty(r)) {
        return;
    }
    EraseGlyphs(s, r.left, r.top, r.right, r.bottom);
    RecordedFill f = {SlotOf(surface), r, (LogColour)brush};
    Append(g_logSurfaceRecord.fills, &g_logSurfaceRecord.fillCount, f);
}

void LogSurfaceSelectFont(LogSurface surface, LogFont font) {
    RecordSurface* s = SurfaceOf(surface);
    if (s == nullptr) {
        return;
    }
    if (font < 1 || font > FONT_SLOTS || !g_logSurfaceRecord.fonts[font - 1].alive) {
        g_logSurfaceRecord.misuse++;
        return;
    }
    s->font = font;
}

void LogSurfaceSetColours(LogSurface surface, LogColour text, LogColour background) {
    RecordSurface* s = SurfaceOf(surface);
    if (s != nullptr) {
        s->text = text;
        s->background = background;
    }
}

void LogSurfaceDrawText(LogSurface surface, int x, int y, const char* text) {
    RecordSurface* s = SurfaceOf(surface);
    if (s == nullptr || text == nullptr) {
        return;
    }
    int bold = FontIsBold(s->font);
    int cell = bold ? RECORD_BOLD_CHAR_WIDTH : RECORD_CHAR_WIDTH;
    int n = (int)strlen(text);
    if (n == 0 || y >= s->height || y + RECORD_CHAR_HEIGHT <= 0) {
        return;
    }
    // The text's opaque cells cover whatever was there.
    EraseGlyphs(s, x, y, x + n * cell, y + RECORD_CHAR_HEIGHT);
    for (int i = 0; i < n; i++) {
        int cx = x + i * cell;
        if (cx >= s->width) {
            break;
        }
        if (cx + cell <= 0) {
            continue;
        }
        if (s->glyphCount == GLYPH_CAPACITY) {
            g_logSurfaceRecord.misuse++;
            return;
        }
        Glyph& g = s->glyphs[s->glyphCount++];
        g.x = cx;
        g.y = y;
        g.width = cell;
        g.bold = bold;
        g.text = s->text;
        g.background = s->background;
        g.ch = text[i];
    }
}

int LogSurfaceTextWidth(LogSurface surface, const char* text) {
    RecordSurface* s = SurfaceOf(surface);
    if (s == nullptr || text == nullptr) {
        return 0;
    }
    int cell = FontIsBold(s->font) ? RECORD_BOLD_CHAR_WIDTH : RECORD_CHAR_WIDTH;
    return (int)strlen(text) * cell;
}

void LogSurfaceScrollUp(LogSurface surface, int top, int bottom, int dy) {
    RecordSurface* s = SurfaceOf(surface);
    if (s == nullptr || dy <= 0 || top >= bottom) {
        return;
    }
    int destTop = top - dy;
    int destBottom = bottom - dy;
    int kept = 0;
    int moved = 0;
    static Glyph movedGlyphs[GLYPH_CAPACITY];
    for (int i = 0; i < s->glyphCount; i++) {
        const Glyph& g = s->glyphs[i];
        if (g.y >= top && g.y + RECORD_CHAR_HEIGHT <= bottom && g.y - dy + RECORD_CHAR_HEIGHT > 0) {
            movedGlyphs[moved] = g;
            movedGlyphs[moved].y -= dy;
            moved++;
        }
        if (!Overlaps(0, destTop, s->width, destBottom, g)) {
            s->glyphs[kept++] = g;
        }
    }
    // Kept glyphs lie outside the destination and moved ones inside it, so the two sets
    // never overlap and together never exceed the capacity.
    s->glyphCount = kept;
    for (int i = 0; i < moved && s->glyphCount < GLYPH_CAPACITY; i++) {
        s->glyphs[s->glyphCount++] = movedGlyphs[i];
    }
}

void LogSurfaceDrawIcon(LogSurface surface, int x, int y, int size, LogBrush background) {
    if (SurfaceOf(surface) == nullptr) {
        return;
    }
    RecordedIcon icon = {SlotOf(surface), x, y, size, (LogColour)background};
    Append(g_logSurfaceRecord.icons, &g_logSurfaceRecord.iconCount, icon);
}

void LogWindowClientRect(PlatformWindow window, LogRect* rect) {
    (void)window;
    EnsureInitialised();
    *rect = {0, 0, g_logSurfaceRecord.clientWidth, g_logSurfaceRecord.clientHeight};
}

void LogWindowInvalidate(PlatformWindow window, const LogRect* rect) {
    (void)window;
    EnsureInitialised();
    RecordedInvalidation entry;
    entry.whole = rect == nullptr;
    entry.rect = rect != nullptr ? *rect
                                 : LogRect{0, 0, g_logSurfaceRecord.clientWidth,
                                           g_logSurfaceRecord.clientHeight};
    Append(g_logSurfaceRecord.invalidations, &g_logSurfaceRecord.invalidationCount, entry);
}

void LogWindowBeginPaint(PlatformWindow window, LogRect* damaged) {
    (void)window;
    EnsureInitialised();
    if (g_logSurfaceRecord.painting) {
        g_logSurfaceRecord.misuse++;
    }
    g_logSurfaceRecord.painting = 1;
    *damaged = g_logSurfaceRecord.paintRect;
}

void LogWindowCopy(PlatformWindow window, int destX, int destY, int width, int height,
                   LogSurface source, int sourceX, int sourceY) {
    (void)window;
    if (SurfaceOf(source) == nullptr) {
        return;
    }
    if (!g_logSurfaceRecord.painting) {
        g_logSurfaceRecord.misuse++;
    }
    RecordedCopy copy = {SlotOf(source), destX, destY, width, height, sourceX, sourceY};
    Append(g_logSurfaceRecord.copies, &g_logSurfaceRecord.copyCount, copy);
}

void LogWindowEndPaint(PlatformWindow window) {
    (void)window;
    EnsureInitialised();
    if (!g_logSurfaceRecord.painting) {
        g_logSurfaceRecord.misuse++;
    }
    g_logSurfaceRecord.painting = 0;
    g_logSurfaceRecord.paintCount++;
}
