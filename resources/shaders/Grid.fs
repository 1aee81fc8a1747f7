#version 330 core
// Projector alignment pattern, white on opaque black: a one-pixel border on
// the outermost pixels, a square line grid centred on the picture, a bolder
// centre cross, a centred circle and both corner-to-corner diagonals. Line
// widths and spacing follow the picture's size so the pattern reads the same
// on a 640x360 monitor output and a 4K projector.
out vec4 fragColor;

uniform vec2 outputSize;

// Whether a pixel centre at distance d from a line of the given width lies on it.
bool onLine(float d, float width) {
    return d <= width * 0.5 + 0.001;
}

void main() {
    // Pixel indices, row 0 at the top; p is the pixel's centre.
    vec2 pixel = floor(gl_FragCoord.xy);
    vec2 p = pixel + 0.5;
    vec2 size = max(outputSize, vec2(1.0));
    vec2 centre = size * 0.5;
    float shortSide = min(size.x, size.y);

    float width = max(1.0, floor(shortSide / 540.0 + 0.5));
    float spacing = max(4.0, floor(shortSide / 8.0 + 0.5));

    bool lit = false;

    // Border: the outermost pixel on every side.
    lit = lit || pixel.x < 1.0 || pixel.y < 1.0 || pixel.x > size.x - 2.0 || pixel.y > size.y - 2.0;

    // Grid lines at whole multiples of the spacing from the centre.
    vec2 fromCentre = abs(p - centre);
    vec2 toGridLine = abs(fromCentre - spacing * floor(fromCentre / spacing + 0.5));
    lit = lit || onLine(toGridLine.x, width) || onLine(toGridLine.y, width);

    // Centre cross, bolder than the grid lines at every size.
    lit = lit || onLine(fromCentre.x, 3.0 * width) || onLine(fromCentre.y, 3.0 * width);

    // Circle spanning 90% of the short side.
    float radius = floor(0.45 * shortSide);
    lit = lit || onLine(abs(length(p - centre) - radius), width);

    // Diagonals from corner to corner.
    float diagonal = length(size);
    float toFalling = abs(p.x * size.y - p.y * size.x) / diagonal;
    float toRising = abs(p.x * size.y + p.y * size.x - size.x * size.y) / diagonal;
    lit = lit || onLine(toFalling, width) || onLine(toRising, width);

    fragColor = lit ? vec4(1.0) : vec4(0.0, 0.0, 0.0, 1.0);
}
