#version 120

// Ground colour from height and slope, one directional light with a sky/ground ambient, and
// distance haze. World units throughout.

uniform vec4 cameraPosition;
uniform vec4 heightRange;   // (low, high, 0, 0): the heights the colour bands span
uniform vec4 sunDirection;  // towards the sun
uniform vec4 sunColour;
uniform vec4 skyAmbient;
uniform vec4 groundAmbient;
uniform vec4 fogColour;
uniform vec4 fogParams;     // (density per unit, largest fade in [0, 1], 0, 0)

varying vec4 worldPosition; // xyz: world position; w: the large patches' noise (Terrain.vert)
varying vec3 worldNormal;

#include "TerrainNoise.glsl"

void main()
{
    vec3 n = normalize(worldNormal);
    float span = max(heightRange.y - heightRange.x, 1.0);
    vec2 ground = worldPosition.xz;
    // Large patches (forest and meadow), from the vertices, then finer grain.
    float patches = worldPosition.w;
    float grain = noise(ground * 0.09) * 0.6 + noise(ground * 0.4) * 0.4;
    // t: 0 at the low end of the range, 1 at the high end, shifted a little by the noise.
    float t = (worldPosition.y - heightRange.x) / span + (patches - 0.5) * 0.10;
    // 0 on gentle ground, 1 from about 40 degrees of slope.
    float steep = smoothstep(0.88, 0.74, n.y);

    vec3 sand = vec3(0.70, 0.64, 0.47);
    vec3 meadow = mix(vec3(0.36, 0.48, 0.20), vec3(0.48, 0.52, 0.26), grain * 0.6);
    vec3 forest = mix(vec3(0.13, 0.25, 0.10), vec3(0.18, 0.30, 0.12), grain);
    vec3 rock = mix(vec3(0.40, 0.37, 0.33), vec3(0.56, 0.53, 0.49), grain);
    vec3 snow = vec3(0.93, 0.95, 0.98);

    vec3 albedo = mix(sand, meadow, smoothstep(0.02, 0.06, t));
    // Forest in patches on the middle slopes, thinning out towards the tree line.
    float woods = smoothstep(0.38, 0.68, patches) * smoothstep(0.10, 0.22, t) * (1.0 - smoothstep(0.48, 0.60, t));
    albedo = mix(albedo, forest, woods);
    albedo = mix(albedo, rock, smoothstep(0.55, 0.70, t));
    albedo = mix(albedo, rock, steep * (0.6 + 0.4 * grain));
    // Snow settles above its line, less on steep faces.
    float snowLine = smoothstep(0.78, 0.84, t) * (1.0 - smoothstep(0.3, 0.9, steep));
    albedo = mix(albedo, snow, snowLine);

    vec3 light = normalize(sunDirection.xyz);
    float diffuse = max(dot(n, light), 0.0);
    vec3 ambient = mix(groundAmbient.rgb, skyAmbient.rgb, n.y * 0.5 + 0.5);
    vec3 colour = albedo * (ambient + sunColour.rgb * diffuse);

    float distance = length(worldPosition.xyz - cameraPosition.xyz);
    float fade = min(1.0 - exp(-distance * fogParams.x), fogParams.y);
    gl_FragColor = vec4(mix(colour, fogColour.rgb, fade), 1.0);
}
