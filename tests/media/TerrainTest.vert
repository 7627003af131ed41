#version 120

// x, own height, z, own normal x
attribute vec4 vertex;
// own normal y and z, morph-target normal x
attribute vec3 normal;
// morph-target normal y and z, morph-target height
attribute vec3 binormal;

uniform mat4 worldViewProj;
uniform mat4 world;
// (m, 0, 0, 0): the patch's morph factor, already clamped to [0, 1]
uniform vec4 morph;

varying vec3 surfaceNormal;
varying vec2 worldXZ;

void main()
{
    float m = clamp(morph.x, 0.0, 1.0);
    // height = own * m + target * (1 - m), written as target + (own - target) * m: a vertex whose
    // target is its own height (every border vertex) then keeps that height bit for bit at any
    // m, so neighbouring patches with different factors share their border vertices exactly.
    float height = binormal.z + (vertex.y - binormal.z) * m;
    vec3 ownNormal = vec3(vertex.w, normal.x, normal.y);
    vec3 targetNormal = vec3(normal.z, binormal.x, binormal.y);
    surfaceNormal = targetNormal + (ownNormal - targetNormal) * m;
    vec4 position = vec4(vertex.x, height, vertex.z, 1.0);
    worldXZ = (world * position).xz;
    gl_Position = worldViewProj * position;
}
