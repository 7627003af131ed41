// Value noise for the ground's colour, shared by Terrain.vert and Terrain.frag (#include).

// Value noise in [0, 1] from a cheap hash: breaks up the bands without a texture. The hash takes
// only multiplies and fract, no sine: with a sine per lattice corner, the noise alone cost a
// software rasteriser an eighth of its frame. Each coordinate is scaled on its own before they
// are mixed, so the hash keeps its precision far from the origin.
float hash(vec2 p)
{
    vec3 q = fract(vec3(p.xyx) * 0.1031);
    q += dot(q, q.yzx + 33.33);
    return fract((q.x + q.y) * q.z);
}

float noise(vec2 p)
{
    vec2 cell = floor(p);
    vec2 f = fract(p);
    vec2 u = f * f * (3.0 - 2.0 * f);
    return mix(mix(hash(cell), hash(cell + vec2(1.0, 0.0)), u.x),
               mix(hash(cell + vec2(0.0, 1.0)), hash(cell + vec2(1.0, 1.0)), u.x), u.y);
}
