package quorvel.tambrino.practice;

import java.awt.image.BufferedImage;
import java.util.HashMap;
import java.util.Map;

/**
 * A 5 × 7 pixel font for the few labels of the spectrum picture. Drawn pixel
 * by pixel, so the picture needs no installed font and looks the same on
 * every machine, headless or not.
 */
final class PixelFont {
    static final int GLYPH_W = 5;
    static final int GLYPH_H = 7;
    static final int ADVANCE = GLYPH_W + 1;

    private static final Map<Character, String[]> GLYPHS = new HashMap<>();

    static {
        glyph('0', " ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### ");
        glyph('1', "  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### ");
        glyph('2', " ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####");
        glyph('3', "#### ", "    #", "    #", " ### ", "    #", "    #", "#### ");
        glyph('4', "   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # ");
        glyph('5', "#####", "#    ", "#### ", "    #", "    #", "#   #", " ### ");
        glyph('6', " ### ", "#    ", "#    ", "#### ", "#   #", "#   #", " ### ");
        glyph('7', "#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   ");
        glyph('8', " ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### ");
        glyph('9', " ### ", "#   #", "#   #", " ####", "    #", "    #", " ### ");
        glyph('C', " ### ", "#   #", "#    ", "#    ", "#    ", "#   #", " ### ");
        glyph('B', "#### ", "#   #", "#   #", "#### ", "#   #", "#   #", "#### ");
        glyph('d', "    #", "    #", " ####", "#   #", "#   #", "#   #", " ####");
        glyph('s', "     ", "     ", " ####", "#    ", " ### ", "    #", "#### ");
        glyph(':', "     ", "  #  ", "  #  ", "     ", "  #  ", "  #  ", "     ");
        glyph('-', "     ", "     ", "     ", " ### ", "     ", "     ", "     ");
        glyph('+', "     ", "  #  ", "  #  ", "#####", "  #  ", "  #  ", "     ");
        glyph('.', "     ", "     ", "     ", "     ", "     ", " ##  ", " ##  ");
        glyph(' ', "     ", "     ", "     ", "     ", "     ", "     ", "     ");
    }

    private PixelFont() {}

    private static void glyph(char c, String... rows) {
        GLYPHS.put(c, rows);
    }

    static int width(String text) {
        return text.isEmpty() ? 0 : text.length() * ADVANCE - 1;
    }

    /** Draws {@code text} with its top-left corner at (x, y); unknown characters draw as spaces. */
    static void draw(BufferedImage img, String text, int x, int y, int rgb) {
        for (int i = 0; i < text.length(); i++) {
            String[] rows = GLYPHS.get(text.charAt(i));
            if (rows == null) {
                continue;
            }
            for (int r = 0; r < GLYPH_H; r++) {
                for (int c = 0; c < GLYPH_W; c++) {
                    int px = x + i * ADVANCE + c;
                    int py = y + r;
                    if (rows[r].charAt(c) == '#' && px >= 0 && py >= 0 && px < img.getWidth()
                            && py < img.getHeight()) {
                        img.setRGB(px, py, rgb);
                    }
                }
            }
        }
    }
}
