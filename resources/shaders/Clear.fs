#version 330 core
// Fully transparent.
out vec4 fragColor;

void main() {
    fragColor = vec4(0.0);
}
