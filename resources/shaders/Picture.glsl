// Sampling a picture in any of the encodings a buffer may hold, as
// premultiplied RGBA. `kind` is a compile-time constant in every program (the
// scene defines it per picture input), so the compiler keeps only that
// kind's path: a movie's planes are converted here, where the picture is
// sampled anyway, at the size drawn.
//
//   0  RGBA in `image`; alpha.x: multiply the colour by alpha (straight
//      alpha), alpha.y: take alpha as 1 (padding, not alpha)
//   1  Y in `image`, Cb in `plane1`, Cr in `plane2`
//   2  Y in `image`, Cb and Cr in `plane1`'s red and green
//   3  as 1, with straight alpha in `plane3`
//
// `colour` takes (Y, Cb, Cr, 1) as sampled to (R, G, B, s), range, bit depth
// and colour matrix folded in; the alpha plane's sample times s is alpha.
vec4 samplePicture(int kind, sampler2D image, sampler2D plane1, sampler2D plane2,
                   sampler2D plane3, mat4 colour, vec2 alpha, vec2 at) {
    if (kind == 0) {
        vec4 rgba = texture(image, at);
        rgba.a = max(rgba.a, alpha.y);
        rgba.rgb *= mix(1.0, rgba.a, alpha.x);
        return rgba;
    }
    vec2 chroma;
    if (kind == 2) {
        chroma = texture(plane1, at).rg;
    } else {
        chroma = vec2(texture(plane1, at).r, texture(plane2, at).r);
    }
    vec4 converted = colour * vec4(texture(image, at).r, chroma, 1.0);
    float a = 1.0;
    if (kind == 3) {
        a = clamp(texture(plane3, at).r * converted.a, 0.0, 1.0);
    }
    return vec4(clamp(converted.rgb, 0.0, 1.0) * a, a);
}

// The picture as placed on an output, at the output's point `uv`: `place`
// takes (uv, 1) to the point of the stored picture (0..1 across its stored
// columns and down its stored rows), with its turn, proportions and fit
// folded in; `rect` is the buffer's valid region (X_rect). Points that fall
// beside the picture give `outside` (the bars).
vec4 samplePlaced(int kind, sampler2D image, sampler2D plane1, sampler2D plane2,
                  sampler2D plane3, mat4 colour, vec2 alpha, vec4 rect, mat3 place,
                  vec4 outside, vec2 uv) {
    vec2 at = (place * vec3(uv, 1.0)).xy;
    if (at.x < 0.0 || at.x > 1.0 || at.y < 0.0 || at.y > 1.0) {
        return outside;
    }
    return samplePicture(kind, image, plane1, plane2, plane3, colour, alpha,
                         rect.xy + at * rect.zw);
}
